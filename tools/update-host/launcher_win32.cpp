#include "host_session.h"
#include "installed_list.h"
#include "launcher.h"
#include "log_capture.h"
#include "log_lines.h"
#include "terminal_text.h"

#include <autoupdate.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kWindowClass[] = "UpdateHostWindow";
// The control of a message box that holds its text.
const int kMessageBoxTextId = 0xFFFF;

struct Launch {
    Launch(bool onTerminal, int64_t quietPeriodMs)
        : bar(onTerminal ? stderr : nullptr),
          session(transcript, onTerminal ? &bar : nullptr, quietPeriodMs)
    {
        InitializeCriticalSection(&lock);
    }

    CRITICAL_SECTION lock;
    Transcript transcript;
    ProgressBar bar;
    HostSession session;
    AnswerMode answer = AnswerMode::No;
    HANDLE lockedFile = INVALID_HANDLE_VALUE;
    HANDLE stopEvent = nullptr;
    volatile LONG done = 0;
    bool onTerminal = false;
    bool verbose = false;
    bool trace = false;
};

// Never freed: the dialog watcher and a late window message may still look at
// it while the process exits.
Launch* g_launch = nullptr;

int64_t nowMs()
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return int64_t(counter.QuadPart / (frequency.QuadPart / 1000));
}

BOOL WINAPI onConsoleControl(DWORD kind)
{
    if (kind == CTRL_C_EVENT || kind == CTRL_BREAK_EVENT) {
        SetEvent(g_launch->stopEvent);
        return TRUE;
    }
    return FALSE;
}

LRESULT CALLBACK hostWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == AU_MSG_STATUS || msg == AU_MSG_PROGRESS || msg == AU_MSG_FILE_TABLE || msg == AU_MSG_BYTES) {
        EnterCriticalSection(&g_launch->lock);
        g_launch->session.notify(msg, wParam, lParam, nowMs());
        LeaveCriticalSection(&g_launch->lock);
        return 0;
    }
    return DefWindowProcA(window, msg, wParam, lParam);
}

// A log line of the library taken from the console: shown above the bar only
// when asked for, and in the console's code page.
void onLogLine(void* context, const std::string& line)
{
    Launch* launch = static_cast<Launch*>(context);
    if (!launch->verbose || (!launch->trace && isPerChunkLogLine(line)))
        return;
    EnterCriticalSection(&launch->lock);
    if (launch->onTerminal) {
        launch->bar.above(line);
    } else {
        std::string shown = terminalText(line) + "\n";
        std::fwrite(shown.data(), 1, shown.size(), stderr);
        std::fflush(stderr);
    }
    LeaveCriticalSection(&launch->lock);
}

BOOL CALLBACK collectOwnDialog(HWND window, LPARAM context)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window))
        return TRUE;
    char className[16] = {0};
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, "#32770") == 0)
        reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
    return TRUE;
}

// The library's texts are GBK; the dialog holds them as Unicode, and they
// are read back as GBK whatever the system's code page.
std::string gbkText(const wchar_t* text, int length)
{
    if (length <= 0)
        return std::string();
    int size = WideCharToMultiByte(936, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(std::size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(936, 0, text, length, &narrow[0], size, nullptr, nullptr);
    return narrow;
}

BOOL CALLBACK findLongestStatic(HWND child, LPARAM context)
{
    char className[16] = {0};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") != 0)
        return TRUE;
    std::string* best = reinterpret_cast<std::string*>(context);
    wchar_t text[4096] = {0};
    std::string narrow = gbkText(text, GetWindowTextW(child, text, 4096));
    if (narrow.size() > best->size())
        best->swap(narrow);
    return TRUE;
}

std::string dialogText(HWND dialog)
{
    wchar_t text[4096] = {0};
    UINT length = GetDlgItemTextW(dialog, kMessageBoxTextId, text, 4096);
    if (length > 0)
        return gbkText(text, int(length));
    std::string longest;
    EnumChildWindows(dialog, findLongestStatic, reinterpret_cast<LPARAM>(&longest));
    return longest;
}

bool askOnConsole(const std::string& text)
{
    std::fprintf(stderr, "\nThe update asks:\n%s\n[y/N] ", text.c_str());
    std::fflush(stderr);
    char reply[64] = {0};
    return std::fgets(reply, sizeof reply, stdin) && (reply[0] == 'y' || reply[0] == 'Y');
}

void answerQuestion(Launch& launch, HWND dialog)
{
    std::string text = dialogText(dialog);
    EnterCriticalSection(&launch.lock);
    launch.session.questionAsked(text.c_str());
    LeaveCriticalSection(&launch.lock);

    bool yes = launch.answer == AnswerMode::Yes || (launch.answer == AnswerMode::Ask && askOnConsole(text));

    EnterCriticalSection(&launch.lock);
    // The lock is given up only for a Yes, so that the retried copy succeeds.
    if (yes && launch.lockedFile != INVALID_HANDLE_VALUE) {
        CloseHandle(launch.lockedFile);
        launch.lockedFile = INVALID_HANDLE_VALUE;
    }
    launch.session.questionAnswered(yes);
    LeaveCriticalSection(&launch.lock);

    int button = yes ? IDYES : IDNO;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

// The library asks its questions with MessageBoxA on its own thread; this
// thread finds those dialogs and answers them as an operator would.
DWORD WINAPI watchDialogs(LPVOID)
{
    Launch& launch = *g_launch;
    std::vector<HWND> answered;
    while (!launch.done) {
        std::vector<HWND> dialogs;
        EnumWindows(collectOwnDialog, reinterpret_cast<LPARAM>(&dialogs));
        for (HWND dialog : dialogs) {
            bool seen = false;
            for (HWND old : answered)
                seen = seen || old == dialog;
            if (seen)
                continue;
            answered.push_back(dialog);
            if (GetDlgItem(dialog, IDYES)) {
                answerQuestion(launch, dialog);
            } else {
                // A plain notice (the refusal of a too short game directory): not
                // part of the transcript, but it must not hold the run.
                std::fprintf(stderr, "update-host: the library showed: %s\n", dialogText(dialog).c_str());
                PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
            }
        }
        std::vector<HWND> alive;
        for (HWND old : answered) {
            if (IsWindow(old))
                alive.push_back(old);
        }
        answered.swap(alive);
        Sleep(50);
    }
    return 0;
}

HWND createHostWindow()
{
    WNDCLASSA windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = hostWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassA(&windowClass))
        return nullptr;
    return CreateWindowExA(0, kWindowClass, "update-host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

void pumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

}  // namespace

int runLauncher(const Options& options)
{
    _setmode(_fileno(stdout), _O_BINARY);
    std::string library = options.library.empty() ? "AutoUpdate.dll" : options.library;
    HMODULE module = LoadLibraryA(library.c_str());
    if (!module) {
        std::fprintf(stderr, "update-host: cannot load %s (error %lu)\n", library.c_str(), GetLastError());
        return kExitRefused;
    }
    auto autoUpdate = reinterpret_cast<AutoUpdateProc>(
        reinterpret_cast<void*>(GetProcAddress(module, "_AutoUpdate@20")));
    auto endUpdate = reinterpret_cast<EndUpdateProc>(
        reinterpret_cast<void*>(GetProcAddress(module, "_EndUpdate@0")));
    if (!autoUpdate || !endUpdate) {
        std::fprintf(stderr, "update-host: %s does not export %s\n", library.c_str(),
                     autoUpdate ? "_EndUpdate@0" : "_AutoUpdate@20");
        return kExitRefused;
    }

    bool onTerminal = _isatty(_fileno(stderr)) && options.transcriptPath != "-";
    g_launch = new Launch(onTerminal, options.quietPeriodMs);
    Launch& launch = *g_launch;
    launch.answer = options.answer;
    launch.onTerminal = onTerminal;
    launch.verbose = options.verbose;
    launch.trace = options.trace;
    if (onTerminal)
        launch.bar.convertWith(terminalText);
    launch.bar.showFiles(options.verbose);
    if (options.transcriptPath == "-") {
        // The library echoes its log on standard output: the transcript keeps
        // the real stdout, and the library's echo goes to stderr.
        std::fflush(stdout);
        int transcriptFd = _dup(_fileno(stdout));
        FILE* out = transcriptFd >= 0 ? _fdopen(transcriptFd, "wb") : nullptr;
        if (!out || _dup2(_fileno(stderr), _fileno(stdout)) < 0) {
            std::fprintf(stderr, "update-host: cannot keep stdout for the transcript\n");
            return kExitRefused;
        }
        launch.transcript.attach(out);
    } else if (!options.transcriptPath.empty() && !launch.transcript.open(options.transcriptPath)) {
        std::fprintf(stderr, "update-host: cannot create %s\n", options.transcriptPath.c_str());
        return kExitRefused;
    }
    if (!options.lockPath.empty()) {
        launch.lockedFile = CreateFileA(options.lockPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (launch.lockedFile == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "update-host: cannot lock %s (error %lu)\n", options.lockPath.c_str(),
                         GetLastError());
            return kExitRefused;
        }
    }
    HWND window = createHostWindow();
    if (!window) {
        std::fprintf(stderr, "update-host: cannot create the host window (error %lu)\n", GetLastError());
        return kExitRefused;
    }
    launch.stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    HANDLE watcher = CreateThread(nullptr, 0, watchDialogs, nullptr, 0, nullptr);
    if (watcher)
        CloseHandle(watcher);

    if (options.repair) {
        std::string error;
        if (!removeInstalledList(options.gameDir, options.package, error)) {
            std::fprintf(stderr, "update-host: --repair: %s\n", error.c_str());
            return kExitRefused;
        }
        if (onTerminal)
            launch.bar.status("repair: every file on disk is checked against the list");
    }

    // Standard output now carries only the library's echo (the transcript has
    // its own copy of it); on a console that echo is taken over.
    LogCapture capture;
    if (_isatty(_fileno(stdout)))
        capture.start(onLogLine, &launch);

    const char* server = options.hasServer ? options.server.c_str() : nullptr;
    int32_t started = autoUpdate(window, server, options.gameDir.c_str(), options.digest.c_str(),
                                 options.package.c_str());
    int64_t startMs = nowMs();
    EnterCriticalSection(&launch.lock);
    launch.session.autoUpdateReturned(started);
    LeaveCriticalSection(&launch.lock);

    int status = kExitRefused;
    std::string stopReason;
    if (started != 0) {
        int64_t stopAt = options.stopAfterMs >= 0 ? startMs + options.stopAfterMs : -1;
        int64_t timeoutAt = startMs + options.timeoutS * 1000;
        for (;;) {
            pumpMessages();
            int64_t now = nowMs();
            EnterCriticalSection(&launch.lock);
            bool ended = launch.session.runEnded(now);
            int64_t quiet = launch.session.quietRemaining(now);
            LeaveCriticalSection(&launch.lock);
            if (ended) {
                status = launch.session.outcome();
                break;
            }
            if (WaitForSingleObject(launch.stopEvent, 0) == WAIT_OBJECT_0) {
                stopReason = "interrupted";
                status = kExitStopped;
                break;
            }
            if ((stopAt >= 0 && now >= stopAt) || now >= timeoutAt) {
                if (now >= timeoutAt)
                    stopReason = "timed out";
                status = kExitStopped;
                break;
            }
            int64_t deadline = timeoutAt;
            if (stopAt >= 0 && stopAt < deadline)
                deadline = stopAt;
            if (quiet >= 0 && now + quiet < deadline)
                deadline = now + quiet;
            DWORD wait = DWORD(deadline > now ? deadline - now : 0);
            MsgWaitForMultipleObjects(1, &launch.stopEvent, FALSE, wait, QS_ALLINPUT);
        }
    }

    const int64_t endStarted = nowMs();
    int32_t ended = endUpdate();
    const int64_t endTook = nowMs() - endStarted;
    EnterCriticalSection(&launch.lock);
    launch.session.endUpdateReturned(ended, endTook);
    InterlockedExchange(&launch.done, 1);
    if (launch.lockedFile != INVALID_HANDLE_VALUE) {
        CloseHandle(launch.lockedFile);
        launch.lockedFile = INVALID_HANDLE_VALUE;
    }
    LeaveCriticalSection(&launch.lock);
    // A message sent after EndUpdate returned would be a fault: stay a moment
    // to receive it, so that the transcript records it.
    for (int64_t lingerUntil = nowMs() + options.lingerMs; nowMs() < lingerUntil;) {
        pumpMessages();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    capture.stop();
    if (onTerminal) {
        EnterCriticalSection(&launch.lock);
        const RunSummary& summary = launch.session.summary();
        launch.bar.status(summary.line(summary.outcome(status, stopReason), nowMs()));
        LeaveCriticalSection(&launch.lock);
    }
    std::fflush(nullptr);
    // The library stays loaded: its terminated worker may have left it mid-call.
    return status;
}
