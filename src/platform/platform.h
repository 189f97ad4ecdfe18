// The one contract between the updater's core and the operating system.
// src/platform/win32/ and src/platform/posix/ each define every function
// declared here; the build picks one folder. Core code includes no OS header.
//
// Paths handed to these functions use "\" separators (the POSIX side turns
// every "\" into "/" before it calls the OS). Failures are reported through
// lastError() as Windows system error codes on both sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// ---- host window -----------------------------------------------------------

// The launcher's window: an HWND on Windows, an AutoUpdateHost* on POSIX.
using HostWindow = void*;

// Delivers one notification synchronously; returns the host's answer. A null
// window receives nothing.
intptr_t sendToHost(HostWindow window, unsigned msg, uintptr_t wParam, intptr_t lParam);

// Blocking Yes/No question owned by window; true only for Yes.
bool askYesNo(HostWindow window, const char* text, const char* caption);

// Blocking message with an OK button and no owner.
void showMessage(const char* text, const char* caption);

// Answers No to the Yes/No question the thread is showing, as its user
// could (Windows). On POSIX the question belongs to the host's callback,
// which only the host can end.
void dismissQuestionOf(uint32_t threadId);

// ---- threads and time ------------------------------------------------------

using ThreadHandle = void*;
using ThreadBody = uint32_t (*)(void* argument);

// Starts body(nullptr) on a new thread; null when no thread could be made.
// With recordedAt, the handle and the identifier are stored there before the
// body runs, so that the body (and a host it calls) already finds them.
// The thread holds a reference to the library while it runs, so a host that
// unloads the library meanwhile does not pull the code from under it
// (Windows: dropped as the thread exits; POSIX: when the thread is joined).
ThreadHandle startThread(ThreadBody body, uint32_t* threadId, ThreadHandle* recordedAt = nullptr);

// Starts body(argument) on a new thread of the library's own (a helper of
// the worker, not a thread the host sees); null when none could be made.
// Its end is awaited with waitForThread, then its handle released.
ThreadHandle startThreadWith(ThreadBody body, void* argument);

// Ends the thread at once (or at its next blocking call on POSIX) and
// releases the handle; nonzero on success. A last resort: a thread ended so
// may leave a lock of the runtime held, and its reference to the library is
// kept: the library then stays loaded until the process ends.
int32_t terminateThread(ThreadHandle thread, uint32_t exitCode);

// Lets go of the handle of a thread that has left its body or will leave it
// by itself; the thread is not disturbed.
void releaseThread(ThreadHandle thread);

// Waits up to milliseconds for the thread to leave its body; true when it
// has. While it waits, the calling thread still handles the messages other
// threads send to its windows (Windows), so a thread blocked sending to it
// can go on. The POSIX wait is made of sleepMs steps.
bool waitForThread(ThreadHandle thread, uint32_t milliseconds);

// Whether the caller is inside the host's handling of a notification of the
// thread: on that thread itself (POSIX callbacks, any code of the worker), or
// in a window procedure handling a message another thread sent (Windows).
// Waiting for the thread there would wait for the caller's own return.
bool inHandlerOf(ThreadHandle thread);

// Prepares the calling thread for the XML component (COM on Windows).
void initThreadComponents();

void sleepMs(uint32_t milliseconds);

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
uint32_t tickCount();

// The wall clock: UTC seconds since 1970 (what a signed build expires by).
uint64_t utcSeconds();

// Microseconds since an arbitrary start, for pauses shorter than the tick's
// steps (GetTickCount moves about 16 ms at a time). Under the test clock it is
// the test's tick in microseconds.
uint64_t preciseMicros();
// Sleeps at least microseconds. Under the test clock the sleep is handed to
// the test rounded up to whole milliseconds.
void sleepMicros(uint32_t microseconds);

// Test seam: replace the clock and the sleep of this process (null restores).
struct ClockHooks {
    uint32_t (*tick)();
    void (*sleep)(uint32_t milliseconds);
};
void setClockForTests(const ClockHooks* hooks);

// A seed for the random draws that differs from one process to the next and
// from one call to the next, however close together they come.
uint32_t randomSeed();

// ---- errors ----------------------------------------------------------------

// The last OS error of the calling thread as a Windows system error code
// (GetLastError / WSAGetLastError; errno translated on POSIX).
uint32_t lastError();

// ---- sockets (Windows sockets 1.1 semantics) -------------------------------

using Socket = uintptr_t;
constexpr Socket kInvalidSocket = ~static_cast<Socket>(0);

// WSAStartup(1.1) on Windows; always true on POSIX. On false, *error holds
// the system error code.
bool startSockets(uint32_t* error);

// A new IPv4 stream socket, or kInvalidSocket (lastError() tells why).
Socket openStreamSocket();

// Connects to the dotted address text (read like inet_addr) and port, with a
// bounded wait. A socket whose connect failed stays usable for the next try.
bool connectSocket(Socket socket, const char* ipText, uint16_t port);

// Connects to a server named by a host name or an IPv6 address text: each
// address the system resolver gives (IPv6 and IPv4, in its order) is tried
// in turn, each with a fresh socket of its family behind the caller's value.
// After a failure the value holds a fresh IPv4 socket again, ready for
// connectSocket. *resolved tells whether the name gave any address.
bool connectSocketToName(Socket socket, const char* name, uint16_t port, bool* resolved);

// One send or recv; the byte count, or -1 on failure. A read that waits
// longer than the read time-out fails.
int sendBytes(Socket socket, const void* data, int length);
int receiveBytes(Socket socket, void* data, int length);
// receiveBytes after waiting at most milliseconds for bytes to arrive; a wait
// that runs out fails like the read time-out (WSAETIMEDOUT).
int receiveBytesWithin(Socket socket, void* data, int length, uint32_t milliseconds);

void closeSocket(Socket socket);

// Makes a send or recv that another thread is blocked in on the socket fail
// at once; the socket stays open until its owner closes it.
void interruptSocket(Socket socket);

// ---- files and directories -------------------------------------------------

// The path as the OS wants it ("\" becomes "/" on POSIX).
std::string nativePath(const char* path);

// fopen on nativePath(path); a directory is refused in every mode, as on
// Windows.
std::FILE* openFile(const char* path, const char* mode);

// CreateDirectoryA: false when it exists or cannot be made.
bool createDirectory(const char* path);

// CopyFileA with an existing target replaced; the target appears whole or not
// at all (a copy beside it, renamed over it), and an existing target keeps its
// permissions. A target held open by another program fails the copy.
bool copyFile(const char* source, const char* target);

bool deleteFile(const char* path);

// MoveFileExA with MOVEFILE_REPLACE_EXISTING: renames source over target in
// one step, so readers see the old file or the new one. Fails with
// ERROR_NOT_SAME_DEVICE (17) when the two are on different volumes, and like
// a copy when the target is held open by another program. On POSIX the moved
// file takes over the replaced file's permission bits.
bool moveFile(const char* source, const char* target);

// Clears the read-only attribute (POSIX: adds the owner's write bit); true
// when the file is writable afterwards.
bool makeWritable(const char* path);

// The bytes the calling user may still write on the volume that holds the
// existing directory (statvfs f_bavail * f_frsize; GetDiskFreeSpaceExA);
// false when it cannot be had.
bool freeDiskBytes(const char* directory, uint64_t* freeBytes);

// Whether two existing directories are on one volume: the same st_dev on
// POSIX, the same volume root (GetVolumePathNameA) on Windows. False when
// either cannot be looked at.
bool sameVolume(const char* first, const char* second);

// Whether the last failed write, flush or close of a std::FILE on this
// thread failed for lack of space (ENOSPC or EDQUOT; ERROR_DISK_FULL or
// ERROR_HANDLE_DISK_FULL on Windows). Ask right after the failed call.
bool writeFailedForSpace();

// The entries of one directory, "." and ".." left out.
class DirectoryListing {
public:
    struct Entry {
        char name[260];
        bool isDirectory;
    };
    DirectoryListing();
    ~DirectoryListing();
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    // Starts listing the directory; false when it cannot be read.
    bool open(const char* directory);
    // The next entry; false at the end.
    bool next(Entry* entry);

private:
    void* handle_;
    void* state_;
};

// ---- profile (INI) files ---------------------------------------------------

// GetPrivateProfileStringA: the value of key in section (both compared without
// regard to case, the value trimmed), or defaultValue when the file, section
// or key is absent; at most size - 1 characters, always NUL-terminated.
void readProfileString(const char* section, const char* key, const char* defaultValue,
                       char* out, std::size_t size, const char* path);

// WritePrivateProfileStringA: creates the file, section and key as needed and
// keeps every other line.
bool writeProfileString(const char* section, const char* key, const char* value,
                        const char* path);

// ---- the process -----------------------------------------------------------

// Full path of the host executable (GetModuleFileNameA of the main module),
// at most size - 1 characters; false when it cannot be had.
bool hostExecutablePath(char* out, std::size_t size);

// Whether a path of the host executable must carry a drive letter.
bool pathsHaveDrives();

// Test seam: report this path as the host executable's (null restores).
void setHostExecutablePathForTests(const char* path);

// The system directory (GetSystemDirectoryA; $AUTOUPDATE_SYSTEM_DIR on POSIX).
void systemDirectory(char* out, std::size_t size);

// ---- texts -----------------------------------------------------------------

// Whether c is the first byte of a double-byte character in the system code
// page (IsDBCSLeadByte); on POSIX the code page is 936, whose lead bytes are
// 0x81 to 0xFE.
bool isLeadByte(unsigned char c);

// Whether the file system takes names that differ only in letter case as
// one (Windows); on POSIX names are compared byte for byte.
bool fileNamesIgnoreCase();

// ---- run-time libraries ----------------------------------------------------

using Library = void*;

// LoadLibraryA(name); POSIX maps "zlib.DLL" to the system's zlib.
Library loadLibrary(const char* name);
void* findSymbol(Library library, const char* name);
void freeLibrary(Library library);

// ---- diagnostics -----------------------------------------------------------

// OutputDebugStringA; on POSIX stderr when AUTOUPDATE_DEBUG is set.
void debugOutput(const char* text);

}  // namespace platform
