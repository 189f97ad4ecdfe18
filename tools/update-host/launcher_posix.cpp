#include "host_session.h"
#include "installed_list.h"
#include "launcher.h"
#include "log_capture.h"
#include "log_lines.h"
#include "terminal_text.h"

#include <autoupdate.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

volatile sig_atomic_t g_interrupted = 0;

void onInterrupt(int)
{
    g_interrupted = 1;
}

int64_t nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Launch {
    Launch(bool onTerminal, int64_t quietPeriodMs)
        : bar(onTerminal ? stderr : nullptr),
          ownSession(transcript, onTerminal ? &bar : nullptr, quietPeriodMs)
    {
    }

    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed;
    Transcript transcript;
    ProgressBar bar;
    HostSession ownSession;
    HostSession* session = &ownSession;
    AnswerMode answer = AnswerMode::No;
    int lockFd = -1;
    bool onTerminal = false;
    bool verbose = false;
    bool trace = false;
};

// Never destroyed: a callback that entered before EndUpdate may still be
// running in the worker when runLauncher returns. Static storage keeps it
// reachable, so leak checkers do not count it.
alignas(Launch) unsigned char g_launchStorage[sizeof(Launch)];

// The library may cancel its worker while it is inside these callbacks; with
// cancellation held off, the worker never dies holding the transcript lock.
class NoCancel {
public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
    ~NoCancel() { pthread_setcancelstate(previous_, nullptr); }

private:
    int previous_ = 0;
};

intptr_t onMessage(AutoUpdateHost* host, unsigned msg, uintptr_t wParam, intptr_t lParam)
{
    NoCancel hold;
    Launch* launch = static_cast<Launch*>(host->context);
    pthread_mutex_lock(&launch->mutex);
    launch->session->notify(msg, wParam, lParam, nowMs());
    // Only a status can end the run or start the quiet wait after an error;
    // waking the main thread for every progress message would cost the
    // worker a system call and the other core a wake-up per chunk.
    if (msg == AU_MSG_STATUS)
        pthread_cond_signal(&launch->changed);
    pthread_mutex_unlock(&launch->mutex);
    return 0;
}

// A log line of the library taken from a terminal: shown above the bar only
// when asked for, and never as raw GBK.
void onLogLine(void* context, const std::string& line)
{
    Launch* launch = static_cast<Launch*>(context);
    if (!launch->verbose || (!launch->trace && isPerChunkLogLine(line)))
        return;
    pthread_mutex_lock(&launch->mutex);
    if (launch->onTerminal) {
        launch->bar.above(line);
    } else {
        std::string shown = terminalText(line) + "\n";
        std::fwrite(shown.data(), 1, shown.size(), stderr);
        std::fflush(stderr);
    }
    pthread_mutex_unlock(&launch->mutex);
}

bool askOnTerminal(const char* text)
{
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty)
        return false;
    std::fprintf(tty, "\nThe update asks:\n%s\n[y/N] ", text ? text : "");
    std::fflush(tty);
    char reply[64] = {0};
    bool yes = std::fgets(reply, sizeof reply, tty) && (reply[0] == 'y' || reply[0] == 'Y');
    std::fclose(tty);
    return yes;
}

int onAsk(AutoUpdateHost* host, const char* text, const char* caption)
{
    NoCancel hold;
    Launch* launch = static_cast<Launch*>(host->context);
    pthread_mutex_lock(&launch->mutex);
    launch->session->questionAsked(text);
    pthread_mutex_unlock(&launch->mutex);

    bool yes = launch->answer == AnswerMode::Yes ||
               (launch->answer == AnswerMode::Ask && askOnTerminal(text));

    pthread_mutex_lock(&launch->mutex);
    if (yes && launch->lockFd >= 0) {
        close(launch->lockFd);
        launch->lockFd = -1;
    }
    launch->session->questionAnswered(yes);
    pthread_cond_signal(&launch->changed);
    pthread_mutex_unlock(&launch->mutex);
    return yes ? 1 : 0;
}

std::string defaultLibrary()
{
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "libautoupdate.so";
    path[length] = '\0';
    std::string exe(path);
    std::size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/libautoupdate.so";
}

void waitUntil(Launch& launch, int64_t deadlineMs)
{
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    int64_t wait = deadlineMs - nowMs();
    if (wait <= 0)
        return;
    until.tv_sec += time_t(wait / 1000);
    until.tv_nsec += long(wait % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000;
    }
    pthread_cond_timedwait(&launch.changed, &launch.mutex, &until);
}

}  // namespace

int runLauncher(const Options& options)
{
    std::string library = options.library.empty() ? defaultLibrary() : options.library;
    void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "update-host: cannot load %s: %s\n", library.c_str(), dlerror());
        return kExitRefused;
    }
    auto autoUpdate = reinterpret_cast<AutoUpdateProc>(dlsym(module, "AutoUpdate"));
    auto endUpdate = reinterpret_cast<EndUpdateProc>(dlsym(module, "EndUpdate"));
    if (!autoUpdate || !endUpdate) {
        std::fprintf(stderr, "update-host: %s does not export %s\n", library.c_str(),
                     autoUpdate ? "EndUpdate" : "AutoUpdate");
        return kExitRefused;
    }

    bool onTerminal = isatty(STDERR_FILENO) && options.transcriptPath != "-";
    Launch& launch = *new (g_launchStorage) Launch(onTerminal, options.quietPeriodMs);
    HostSession& session = launch.ownSession;
    ProgressBar& bar = launch.bar;
    launch.onTerminal = onTerminal;
    launch.verbose = options.verbose;
    launch.trace = options.trace;
    if (onTerminal)
        bar.convertWith(terminalText);
    bar.showFiles(options.verbose);
    if (options.transcriptPath == "-") {
        // The library echoes its log on standard output: the transcript keeps
        // the real stdout, and the library's echo goes to stderr.
        std::fflush(stdout);
        int transcriptFd = dup(STDOUT_FILENO);
        FILE* out = transcriptFd >= 0 ? fdopen(transcriptFd, "wb") : nullptr;
        if (!out || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "update-host: cannot keep stdout for the transcript: %s\n",
                         std::strerror(errno));
            return kExitRefused;
        }
        launch.transcript.attach(out);
    } else if (!options.transcriptPath.empty() && !launch.transcript.open(options.transcriptPath)) {
        std::fprintf(stderr, "update-host: cannot create %s: %s\n", options.transcriptPath.c_str(),
                     std::strerror(errno));
        return kExitRefused;
    }
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&launch.changed, &attributes);
    pthread_condattr_destroy(&attributes);
    launch.answer = options.answer;

    if (!options.lockPath.empty()) {
        // Advisory only on POSIX: the file stays open and flock-ed until a Yes.
        launch.lockFd = open(options.lockPath.c_str(), O_RDONLY);
        if (launch.lockFd < 0 || flock(launch.lockFd, LOCK_EX | LOCK_NB) != 0) {
            std::fprintf(stderr, "update-host: cannot lock %s: %s\n", options.lockPath.c_str(),
                         std::strerror(errno));
            return kExitRefused;
        }
    }

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    if (options.repair) {
        std::string error;
        if (!removeInstalledList(options.gameDir, options.package, error)) {
            std::fprintf(stderr, "update-host: --repair: %s\n", error.c_str());
            return kExitRefused;
        }
        if (onTerminal)
            bar.status("repair: every file on disk is checked against the list");
    }

    // Standard output now carries only the library's echo (the transcript has
    // its own copy of it); on a terminal that echo is taken over.
    LogCapture capture;
    if (isatty(STDOUT_FILENO))
        capture.start(onLogLine, &launch);

    AutoUpdateHost host;
    host.message = onMessage;
    host.ask = onAsk;
    host.context = &launch;

    const char* server = options.hasServer ? options.server.c_str() : nullptr;
    int32_t started = autoUpdate(&host, server, options.gameDir.c_str(), options.digest.c_str(),
                                 options.package.c_str());
    int64_t startMs = nowMs();
    pthread_mutex_lock(&launch.mutex);
    session.autoUpdateReturned(started);
    pthread_mutex_unlock(&launch.mutex);

    int status = kExitRefused;
    std::string stopReason;
    if (started != 0) {
        int64_t stopAt = options.stopAfterMs >= 0 ? startMs + options.stopAfterMs : -1;
        int64_t timeoutAt = startMs + options.timeoutS * 1000;
        // The signal handler cannot wake the condition, so waits are sliced.
        const int64_t slice = 100;
        pthread_mutex_lock(&launch.mutex);
        for (;;) {
            int64_t now = nowMs();
            if (session.runEnded(now)) {
                status = session.outcome();
                break;
            }
            if (g_interrupted) {
                stopReason = "interrupted";
                status = kExitStopped;
                break;
            }
            if (stopAt >= 0 && now >= stopAt) {
                status = kExitStopped;
                break;
            }
            if (now >= timeoutAt) {
                stopReason = "timed out";
                status = kExitStopped;
                break;
            }
            int64_t deadline = now + slice;
            int64_t quiet = session.quietRemaining(now);
            if (quiet >= 0 && now + quiet < deadline)
                deadline = now + quiet;
            if (stopAt >= 0 && stopAt < deadline)
                deadline = stopAt;
            if (timeoutAt < deadline)
                deadline = timeoutAt;
            waitUntil(launch, deadline);
        }
        pthread_mutex_unlock(&launch.mutex);
    }

    // Not under the lock: the worker may be inside a callback that needs it.
    const int64_t endStarted = nowMs();
    int32_t ended = endUpdate();
    const int64_t endTook = nowMs() - endStarted;
    pthread_mutex_lock(&launch.mutex);
    session.endUpdateReturned(ended, endTook);
    pthread_mutex_unlock(&launch.mutex);
    // A message after EndUpdate returned would be a fault: stay a moment to
    // receive it, so that the transcript records it.
    timespec linger{time_t(options.lingerMs / 1000), long(options.lingerMs % 1000) * 1000000L};
    while (nanosleep(&linger, &linger) != 0 && errno == EINTR) {
    }
    if (launch.lockFd >= 0)
        close(launch.lockFd);
    capture.stop();
    if (onTerminal) {
        pthread_mutex_lock(&launch.mutex);
        const RunSummary& summary = session.summary();
        bar.status(summary.line(summary.outcome(status, stopReason), nowMs()));
        pthread_mutex_unlock(&launch.mutex);
    }
    std::fflush(nullptr);
    // The library stays loaded: a cancelled worker may still be unwinding in it.
    return status;
}
