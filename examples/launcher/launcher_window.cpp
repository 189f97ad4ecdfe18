#include "launcher_window.h"

#include "host_session.h"
#include "installed_list.h"
#include "launcher_state.h"
#include "status_text.h"
#include "transcript.h"

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>

namespace {

const char kWindowClass[] = "AutoUpdateReferenceLauncher";
const int kClientWidth = 600;
const int kClientHeight = 420;
// The run has ended when the final report came, or when an error that ends
// the run was followed by this long a silence (as update-host decides it).
const int64_t kQuietPeriodMs = 3000;

enum ControlId {
    kTargetId = 100,
    kStatusId,
    kProgressId,
    kBytesId,
    kFileId,
    kTableId,
    kAddressId,
    kRepairId,
    kCancelId,
};
enum TimerId { kEndCheckTimer = 1, kCloseTimer };
// Posted by the thread that called EndUpdate; wParam is its result.
const UINT kEndedMessage = WM_APP + 1;

struct App {
    LauncherOptions options;
    AutoUpdateProc autoUpdate = nullptr;
    EndUpdateProc endUpdate = nullptr;
    HWND window = nullptr;
    HWND status = nullptr;
    HWND progress = nullptr;
    HWND bytes = nullptr;
    HWND file = nullptr;
    HWND table = nullptr;
    HWND address = nullptr;
    HWND repair = nullptr;
    HWND cancel = nullptr;
    LauncherState state;
    // A fresh pair per run; the transcript is never opened: the session is
    // kept for its judgement of when a run has ended.
    std::unique_ptr<Transcript> transcript;
    std::unique_ptr<HostSession> session;
    bool running = false;
    bool ending = false;
    bool stoppedByPlayer = false;
    bool closePending = false;
    int exitStatus = kExitIncomplete;
};

App* g_app = nullptr;

int64_t nowMs()
{
    return int64_t(GetTickCount());
}

HWND addControl(HWND parent, const char* className, const char* text, DWORD style, int x, int y, int width,
                int height, int id)
{
    HWND control = CreateWindowExA(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                                   nullptr);
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return control;
}

void addColumn(HWND table, int index, const char* title, int width, int format)
{
    LVCOLUMNA column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<char*>(title);
    SendMessageA(table, LVM_INSERTCOLUMNA, WPARAM(index), reinterpret_cast<LPARAM>(&column));
}

void setCell(HWND table, int row, int column, const std::string& text)
{
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text.c_str());
    SendMessageA(table, LVM_SETITEMTEXTA, WPARAM(row), reinterpret_cast<LPARAM>(&item));
}

void createControls(App& app, HWND window)
{
    std::string target = "Server " + (app.options.server.empty() ? std::string("from gamedata.xml") : app.options.server) +
                         ", package " + app.options.package + ", folder " + app.options.gameDir;
    addControl(window, "STATIC", target.c_str(), SS_LEFT | SS_PATHELLIPSIS, 12, 10, 576, 16, kTargetId);
    app.status = addControl(window, "STATIC", "", SS_LEFT, 12, 32, 576, 34, kStatusId);
    app.progress = addControl(window, PROGRESS_CLASSA, "", 0, 12, 70, 576, 18, kProgressId);
    SendMessageA(app.progress, PBM_SETRANGE32, 0, 5000);
    app.bytes = addControl(window, "STATIC", "", SS_LEFT, 12, 94, 220, 16, kBytesId);
    app.file = addControl(window, "STATIC", "", SS_LEFT | SS_PATHELLIPSIS, 240, 94, 348, 16, kFileId);
    app.table = addControl(window, WC_LISTVIEWA, "",
                           WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_NOSORTHEADER | LVS_SHOWSELALWAYS, 12, 116,
                           576, 228, kTableId);
    SendMessageA(app.table, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    addColumn(app.table, 0, "File to download", 376, LVCFMT_LEFT);
    addColumn(app.table, 1, "Size", 90, LVCFMT_RIGHT);
    addColumn(app.table, 2, "State", 86, LVCFMT_LEFT);
    app.address = addControl(window, "STATIC", "", SS_LEFT | SS_PATHELLIPSIS, 12, 352, 576, 16, kAddressId);
    app.repair = addControl(window, "BUTTON", "&Repair", BS_PUSHBUTTON | WS_TABSTOP, 384, 380, 98, 28, kRepairId);
    app.cancel = addControl(window, "BUTTON", "Cancel", BS_DEFPUSHBUTTON | WS_TABSTOP, 490, 380, 98, 28, kCancelId);
}

void showTable(App& app)
{
    SendMessageA(app.table, WM_SETREDRAW, FALSE, 0);
    SendMessageA(app.table, LVM_DELETEALLITEMS, 0, 0);
    const auto& rows = app.state.rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        LVITEMA item = {};
        item.mask = LVIF_TEXT;
        item.iItem = int(i);
        item.pszText = const_cast<char*>(rows[i].name.c_str());
        SendMessageA(app.table, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        setCell(app.table, int(i), 1, byteCountText(rows[i].size));
        setCell(app.table, int(i), 2, LauncherState::rowStateText(rows[i].state));
    }
    SendMessageA(app.table, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(app.table, nullptr, TRUE);
}

void showButtons(App& app)
{
    EnableWindow(app.repair, !app.running && !app.ending);
    EnableWindow(app.cancel, !app.ending);
    SetWindowTextA(app.cancel, app.running ? "Cancel" : "Close");
}

void show(App& app, unsigned changes)
{
    const LauncherState& state = app.state;
    if (changes & LauncherState::kStatus)
        SetWindowTextA(app.status, state.status().c_str());
    if (changes & LauncherState::kProgress)
        SendMessageA(app.progress, PBM_SETPOS, WPARAM(state.progress()), 0);
    if (changes & LauncherState::kBytes)
        SetWindowTextA(app.bytes, state.bytes().c_str());
    if (changes & LauncherState::kCurrentFile)
        SetWindowTextA(app.file, state.currentFile().empty() ? "" : ("Now: " + state.currentFile()).c_str());
    if (changes & LauncherState::kAddress)
        SetWindowTextA(app.address, state.downloadAddress().empty()
                                        ? ""
                                        : ("Full game download: " + state.downloadAddress()).c_str());
    if (changes & LauncherState::kTable)
        showTable(app);
    if ((changes & LauncherState::kRowState) && state.changedRow() >= 0) {
        int row = state.changedRow();
        setCell(app.table, row, 2, LauncherState::rowStateText(state.rows()[std::size_t(row)].state));
        SendMessageA(app.table, LVM_ENSUREVISIBLE, WPARAM(row), FALSE);
    }
}

const unsigned kEverything = ~0u;

DWORD WINAPI callEndUpdate(LPVOID)
{
    // Off the window's thread, so that a message the worker is blocked on is
    // still handled and the worker can acknowledge the stop at once.
    int32_t result = g_app->endUpdate();
    PostMessageA(g_app->window, kEndedMessage, WPARAM(result), 0);
    return 0;
}

void requestEnd(App& app)
{
    if (app.ending)
        return;
    app.ending = true;
    KillTimer(app.window, kEndCheckTimer);
    showButtons(app);
    HANDLE thread = CreateThread(nullptr, 0, callEndUpdate, nullptr, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    else
        PostMessageA(app.window, kEndedMessage, WPARAM(app.endUpdate()), 0);
}

void runHasEnded(App& app)
{
    app.running = false;
    showButtons(app);
    if (app.closePending)
        DestroyWindow(app.window);
    else if (app.options.closeAfterMs >= 0)
        SetTimer(app.window, kCloseTimer, UINT(app.options.closeAfterMs), nullptr);
}

void startRun(App& app, bool repair)
{
    if (app.running || app.ending)
        return;
    KillTimer(app.window, kCloseTimer);
    if (repair) {
        std::string error;
        if (!removeInstalledList(app.options.gameDir, app.options.package, error)) {
            app.state.setStatus("Repair is not possible: " + error + ".");
            show(app, LauncherState::kStatus);
            app.exitStatus = kExitRefused;
            runHasEnded(app);
            return;
        }
    }
    app.state.reset(repair ? "Repair: every file of the game is checked and damaged ones are downloaded again."
                           : "Looking for updates.");
    show(app, kEverything);
    app.transcript.reset(new Transcript());
    app.session.reset(new HostSession(*app.transcript, nullptr, kQuietPeriodMs));
    app.stoppedByPlayer = false;
    app.running = true;
    showButtons(app);

    const char* server = app.options.server.empty() ? nullptr : app.options.server.c_str();
    int32_t started = app.autoUpdate(app.window, server, app.options.gameDir.c_str(), app.options.digest.c_str(),
                                     app.options.package.c_str());
    app.session->autoUpdateReturned(started);
    if (started == 0) {
        app.exitStatus = kExitRefused;
        app.state.setStatus("The updater did not start: the game folder or the launcher's own folder is not usable.");
        show(app, LauncherState::kStatus);
        runHasEnded(app);
        return;
    }
    SetTimer(app.window, kEndCheckTimer, 200, nullptr);
}

LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    App& app = *g_app;
    switch (msg) {
    case WM_CREATE:
        app.window = window;
        createControls(app, window);
        return 0;
    case AU_MSG_STATUS:
    case AU_MSG_PROGRESS:
    case AU_MSG_FILE_TABLE:
    case AU_MSG_BYTES:
        if (app.session)
            app.session->notify(msg, wParam, lParam, nowMs());
        show(app, app.state.notify(msg, wParam, lParam));
        return 0;
    case WM_TIMER:
        if (wParam == kEndCheckTimer && app.running && !app.ending && app.session &&
            app.session->runEnded(nowMs())) {
            app.exitStatus = app.session->outcome();
            requestEnd(app);
        } else if (wParam == kCloseTimer) {
            KillTimer(window, kCloseTimer);
            PostMessageA(window, WM_CLOSE, 0, 0);
        }
        return 0;
    case kEndedMessage:
        app.ending = false;
        if (app.session)
            app.session->endUpdateReturned(int32_t(wParam));
        if (app.stoppedByPlayer) {
            app.exitStatus = kExitStopped;
            app.state.setStatus("Stopped. The next start continues the update.");
            show(app, LauncherState::kStatus);
        }
        runHasEnded(app);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kCancelId || LOWORD(wParam) == IDCANCEL) {
            if (app.running) {
                app.stoppedByPlayer = true;
                requestEnd(app);
            } else if (!app.ending) {
                DestroyWindow(window);
            }
        } else if (LOWORD(wParam) == kRepairId) {
            startRun(app, true);
        }
        return 0;
    case WM_CLOSE:
        if (app.running || app.ending) {
            // The window goes once EndUpdate has returned.
            app.closePending = true;
            if (!app.ending) {
                app.stoppedByPlayer = true;
                requestEnd(app);
            }
        } else {
            DestroyWindow(window);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(app.exitStatus);
        return 0;
    default:
        return DefWindowProcA(window, msg, wParam, lParam);
    }
}

}  // namespace

int runLauncherWindow(const LauncherOptions& options, AutoUpdateProc autoUpdate, EndUpdateProc endUpdate)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);

    g_app = new App();
    App& app = *g_app;
    app.options = options;
    app.autoUpdate = autoUpdate;
    app.endUpdate = endUpdate;

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassA(&windowClass))
        return kExitRefused;

    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&frame, style, FALSE);
    HWND window = CreateWindowExA(0, kWindowClass, "Game launcher - AutoUpdate", style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (!window)
        return kExitRefused;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    startRun(app, options.repair);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return int(message.wParam);
}
