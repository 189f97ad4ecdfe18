#include "launcher_window.h"

#include "download_cap.h"
#include "host_session.h"
#include "installed_list.h"
#include "launcher_buttons.h"
#include "launcher_state.h"
#include "run_files.h"
#include "status_text.h"
#include "transcript.h"

#include <windows.h>
#include <commctrl.h>

#include <fstream>
#include <memory>
#include <string>

namespace {

const wchar_t kWindowClass[] = L"AutoUpdateReferenceLauncher";
const int kClientWidth = 600;
const int kClientHeight = 420;
// The run has ended when the final report came, or when an error that ends
// the run was followed by this long a silence (as update-host decides it).
const int64_t kQuietPeriodMs = 3000;
// What the library sends is GBK whatever the system's code page.
const UINT kLibraryCodePage = 936;

enum ControlId {
    kTargetId = 100,
    kStatusId,
    kProgressId,
    kPercentId,
    kBytesId,
    kFileId,
    kTableId,
    kAddressId,
    kRetryId,
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
    HWND percent = nullptr;
    HWND bytes = nullptr;
    HWND file = nullptr;
    HWND table = nullptr;
    HWND address = nullptr;
    HWND retry = nullptr;
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

// Names on disk stay as the library wrote them; only what is drawn is
// converted, so a Western Windows shows the list's Chinese names too.
std::wstring wideText(const std::string& text, UINT codePage = kLibraryCodePage)
{
    if (text.empty())
        return std::wstring();
    int length = MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

void setText(HWND control, const std::string& text)
{
    SetWindowTextW(control, wideText(text).c_str());
}

HWND addControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width,
                int height, int id)
{
    HWND control = CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                                   nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return control;
}

void addColumn(HWND table, int index, const wchar_t* title, int width, int format)
{
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(title);
    SendMessageW(table, LVM_INSERTCOLUMNW, WPARAM(index), reinterpret_cast<LPARAM>(&column));
}

void setCell(HWND table, int row, int column, const std::string& text)
{
    std::wstring wide = wideText(text);
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(wide.c_str());
    SendMessageW(table, LVM_SETITEMTEXTW, WPARAM(row), reinterpret_cast<LPARAM>(&item));
}

void createControls(App& app, HWND window)
{
    std::string target = "Server " + (app.options.server.empty() ? std::string("from gamedata.xml") : app.options.server) +
                         ", package " + app.options.package + ", folder " + app.options.gameDir;
    // The command line is in the system's code page.
    addControl(window, L"STATIC", wideText(target, CP_ACP).c_str(), SS_LEFT | SS_PATHELLIPSIS, 12, 10, 576, 16,
               kTargetId);
    app.status = addControl(window, L"STATIC", L"", SS_LEFT, 12, 32, 576, 48, kStatusId);
    app.progress = addControl(window, PROGRESS_CLASSW, L"", 0, 12, 84, 530, 18, kProgressId);
    SendMessageW(app.progress, PBM_SETRANGE32, 0, 5000);
    app.percent = addControl(window, L"STATIC", L"", SS_RIGHT, 546, 85, 42, 16, kPercentId);
    app.bytes = addControl(window, L"STATIC", L"", SS_LEFT, 12, 108, 300, 16, kBytesId);
    app.file = addControl(window, L"STATIC", L"", SS_LEFT | SS_PATHELLIPSIS, 320, 108, 268, 16, kFileId);
    app.table = addControl(window, WC_LISTVIEWW, L"",
                           WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_NOSORTHEADER | LVS_SHOWSELALWAYS, 12, 130,
                           576, 214, kTableId);
    SendMessageW(app.table, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    addColumn(app.table, 0, L"File to download", 316, LVCFMT_LEFT);
    addColumn(app.table, 1, L"Where", 60, LVCFMT_LEFT);
    addColumn(app.table, 2, L"Size", 90, LVCFMT_RIGHT);
    addColumn(app.table, 3, L"State", 86, LVCFMT_LEFT);
    app.address = addControl(window, L"STATIC", L"", SS_LEFT | SS_PATHELLIPSIS, 12, 352, 576, 16, kAddressId);
    app.retry = addControl(window, L"BUTTON", L"Re&try", BS_PUSHBUTTON | WS_TABSTOP, 278, 380, 98, 28, kRetryId);
    app.repair = addControl(window, L"BUTTON", L"&Repair", BS_PUSHBUTTON | WS_TABSTOP, 384, 380, 98, 28, kRepairId);
    app.cancel = addControl(window, L"BUTTON", L"Cancel", BS_DEFPUSHBUTTON | WS_TABSTOP, 490, 380, 98, 28, kCancelId);
}

void showRowCells(App& app, int row)
{
    const LauncherState::Row& rowState = app.state.rows()[std::size_t(row)];
    setCell(app.table, row, 1, rowState.system ? "system" : "game");
    setCell(app.table, row, 2, byteCountText(rowState.size));
    setCell(app.table, row, 3, LauncherState::rowStateText(rowState.state));
}

void showTable(App& app)
{
    SendMessageW(app.table, WM_SETREDRAW, FALSE, 0);
    SendMessageW(app.table, LVM_DELETEALLITEMS, 0, 0);
    const auto& rows = app.state.rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::wstring name = wideText(rows[i].name);
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = int(i);
        item.pszText = const_cast<wchar_t*>(name.c_str());
        SendMessageW(app.table, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        showRowCells(app, int(i));
    }
    SendMessageW(app.table, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(app.table, nullptr, TRUE);
}

void showButtons(App& app)
{
    LauncherButtons buttons = launcherButtons(app.running, app.ending, app.exitStatus);
    ShowWindow(app.retry, buttons.retryShown ? SW_SHOWNA : SW_HIDE);
    EnableWindow(app.retry, buttons.retryEnabled);
    EnableWindow(app.repair, buttons.repairEnabled);
    EnableWindow(app.cancel, buttons.cancelEnabled);
    setText(app.cancel, buttons.cancelText);
}

void show(App& app, unsigned changes)
{
    const LauncherState& state = app.state;
    if (changes & LauncherState::kStatus)
        setText(app.status, state.status());
    if (changes & LauncherState::kProgress) {
        SendMessageW(app.progress, PBM_SETPOS, WPARAM(state.progress()), 0);
        setText(app.percent, state.percent());
    }
    if (changes & LauncherState::kBytes)
        setText(app.bytes, state.timeLeft().empty() ? state.bytes() : state.bytes() + ", " + state.timeLeft());
    if (changes & LauncherState::kCurrentFile)
        setText(app.file, state.currentFile().empty() ? "" : "Now: " + state.currentFile());
    if (changes & LauncherState::kAddress)
        setText(app.address, state.downloadAddress().empty() ? "" : "Full game download: " + state.downloadAddress());
    if (changes & LauncherState::kTable)
        showTable(app);
    if ((changes & LauncherState::kRowState) && state.changedRow() >= 0) {
        int row = state.changedRow();
        showRowCells(app, row);
        SendMessageW(app.table, LVM_ENSUREVISIBLE, WPARAM(row), FALSE);
    }
}

// What the messages do not say is read from the files the run keeps.
unsigned readRunFiles(App& app, unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    if (msg == AU_MSG_FILE_TABLE && wParam > 0)
        return app.state.markSystemFiles(
            systemFilePaths(readWholeFile(stagedListPath(app.options.gameDir, app.options.package))));
    if (msg == AU_MSG_STATUS && wParam == AU_STATUS_ERROR && lParam == AU_ERR_INSTALL)
        return app.state.setLockedFile(
            lockedFileFromLog(readWholeFile(runLogPath(app.options.gameDir)), app.options.gameDir));
    return 0;
}

const unsigned kEverything = ~0u;

DWORD WINAPI callEndUpdate(LPVOID)
{
    // Off the window's thread, so that a message the worker is blocked on is
    // still handled and the worker can acknowledge the stop at once.
    int32_t result = g_app->endUpdate();
    PostMessageW(g_app->window, kEndedMessage, WPARAM(result), 0);
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
        PostMessageW(app.window, kEndedMessage, WPARAM(app.endUpdate()), 0);
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

// The library reads gamedata.xml beside the launcher at the start of a run:
// the cap the player chose goes there first. False when it could not.
bool writeDownloadCap(long kib)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return false;
    std::string xmlPath(path, length);
    xmlPath = xmlPath.substr(0, xmlPath.find_last_of('\\') + 1) + "gamedata.xml";
    const std::string before = readWholeFile(xmlPath);
    if (before.empty())
        return false;
    const std::string after = withDownloadCap(before, kib);
    if (after == before)
        return true;
    std::ofstream out(xmlPath, std::ios::binary | std::ios::trunc);
    out << after;
    return bool(out.flush());
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
                           : "Looking for updates.",
                    repair);
    show(app, kEverything);
    app.transcript.reset(new Transcript());
    app.session.reset(new HostSession(*app.transcript, nullptr, kQuietPeriodMs));
    app.stoppedByPlayer = false;
    app.running = true;
    showButtons(app);

    if (app.options.maxKiBps >= 0 && !writeDownloadCap(long(app.options.maxKiBps))) {
        app.state.setStatus("The download limit could not be written to gamedata.xml.");
        show(app, LauncherState::kStatus);
    }
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
    case AU_MSG_BYTES: {
        if (app.session)
            app.session->notify(msg, wParam, lParam, nowMs());
        // The state first: the locked file is shown only behind the error it explains.
        unsigned changes = app.state.notify(msg, wParam, lParam, nowMs());
        show(app, changes | readRunFiles(app, msg, wParam, lParam));
        return 0;
    }
    case WM_TIMER:
        if (wParam == kEndCheckTimer && app.running && !app.ending && app.session &&
            app.session->runEnded(nowMs())) {
            app.exitStatus = app.session->outcome();
            requestEnd(app);
        } else if (wParam == kCloseTimer) {
            KillTimer(window, kCloseTimer);
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        return 0;
    case kEndedMessage:
        app.ending = false;
        if (app.session)
            app.session->endUpdateReturned(int32_t(wParam));
        if (app.stoppedByPlayer)
            app.exitStatus = kExitStopped;
        show(app, app.state.runEnded(app.stoppedByPlayer));
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
        } else if (LOWORD(wParam) == kRetryId) {
            startRun(app, false);
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
        return DefWindowProcW(window, msg, wParam, lParam);
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

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassW(&windowClass))
        return kExitRefused;

    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&frame, style, FALSE);
    HWND window = CreateWindowExW(0, kWindowClass, L"Game launcher - AutoUpdate", style, CW_USEDEFAULT, CW_USEDEFAULT,
                                  frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (!window)
        return kExitRefused;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    startRun(app, options.repair);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return int(message.wParam);
}
