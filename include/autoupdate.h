/* AutoUpdate: the game client's automatic updater.
 *
 * A launcher loads the library, calls AutoUpdate() once per run and learns
 * everything about the run from the messages sent to its host window. It may
 * call EndUpdate() at any time to stop the run.
 *
 * What ships beside the launcher's executable: AutoUpdate.dll (32-bit, so the
 * launcher is 32-bit too), gamedata.xml (the servers; read from the directory
 * of the process's executable, never from the game directory) and zlib.DLL:
 * the 32-bit cdecl zlib DLL (zlib1.dll, not the stdcall zlibwapi.dll) under
 * that name, which the library loads to call its uncompress. Without it every
 * run ends with AU_ERR_NO_UNCOMPRESS.
 *
 * Texts: every string is narrow. The records passed by address (the path of
 * AU_STATUS_FILE, the folder of AU_STATUS_DISK_FOLDER, the row names of
 * AU_MSG_FILE_TABLE) are GBK (code page 936), as the update list holds them; the download address is in the
 * system's ANSI code page on Windows (GBK on a Chinese system), GBK on POSIX.
 * The log and the locked-file question are GBK. Show them with
 * MultiByteToWideChar(936, ...) to read right on any Windows. */
#ifndef AUTOUPDATE_H
#define AUTOUPDATE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Message numbers sent to the host window. */
#define AU_MSG_STATUS 11111     /* wParam: status kind below; lParam: value or address */
#define AU_MSG_PROGRESS 11114   /* wParam: 5000; lParam: progress in five-thousandths */
#define AU_MSG_FILE_TABLE 11115 /* wParam: rows; lParam: address of AutoUpdateTableRow[rows] */
#define AU_MSG_BYTES 11117      /* wParam: bytes expected; lParam: bytes received */

/* The run's byte counts are signed 32-bit values (on 32-bit Windows lParam is
 * one): the bytes a run expects, the package and every file it fetches, and
 * each file's size stay at or below 2147483647. make-package refuses a build
 * past that; a first run fetches every file, so the whole build counts. */

/* Status kinds (wParam of AU_MSG_STATUS). */
#define AU_STATUS_FILE 2                 /* lParam: address of the path about to be fetched */
#define AU_STATUS_TRANSFERS 4            /* lParam 10: package download starts; 0: all transfers done */
#define AU_STATUS_FINAL 5                /* lParam 1: complete; 0: incomplete */
#define AU_STATUS_ERROR 6                /* lParam: error code below */
#define AU_STATUS_FILE_DONE 7            /* one file transfer completed */
#define AU_STATUS_LIST_READ 8            /* the new update list has been read */
#define AU_STATUS_FIRST_RUN 9            /* the installed list is empty */
#define AU_STATUS_SPEED 12               /* lParam: whole KiB since the previous report */
#define AU_STATUS_BYTES_SAVED 13         /* lParam: whole KiB that did not travel (copied from the
                                          * installed files or carried deflated), once after the
                                          * transfers; only our own server's fast mode causes it */
#define AU_STATUS_CONNECTING 30          /* lParam 0: preferred address; 1: a table row */
#define AU_STATUS_DOWNLOAD_ADDRESS 11117 /* lParam: address of the download address text */
#define AU_STATUS_DISK_NEEDED 14         /* lParam: KiB the run must write on the volume that is short,
                                          * rounded up; sent before AU_ERR_DISK_FULL */
#define AU_STATUS_DISK_FREE 15           /* lParam: KiB free on that volume, rounded down */
#define AU_STATUS_DISK_FOLDER 16         /* lParam: address of the folder on that volume (the game
                                          * directory or the system directory) */

/* Error codes (lParam of AU_STATUS_ERROR). Any other value is a system error
 * code: the socket library did not start, or a socket could not be created. */
#define AU_ERR_TRANSFER 1          /* a file transfer failed or its file has another digest; the run goes on */
#define AU_ERR_PACKAGE_SHORT 2     /* the package file is shorter than 2 bytes */
#define AU_ERR_INFLATE 3           /* the package did not inflate into a complete list; nothing installed */
#define AU_ERR_UNSAFE_LIST 4       /* the list names a path that would leave its directory */
#define AU_ERR_PACKAGE_OPEN 5      /* the package file cannot be opened */
#define AU_ERR_NO_UNCOMPRESS 6     /* zlib.DLL cannot be loaded or has no uncompress */
#define AU_ERR_LIST_CREATE 7       /* the staged list file cannot be created */
#define AU_ERR_NO_PACKAGE 23       /* unknown package, or a reconnect found no server */
#define AU_ERR_NO_CONNECTION 27    /* no first connection could be made */
#define AU_ERR_HOST_PATH 50        /* the launcher's path has no drive or no directory */
#define AU_ERR_NO_SERVERS 51       /* gamedata.xml has no usable servers or server element */
#define AU_ERR_LIST_TOO_LONG 55    /* the new list holds 4400 records or more */
#define AU_ERR_RECONNECT 78        /* a reconnect failed during the package request */
#define AU_ERR_ATTEMPTS 80         /* the package request's attempts are spent */
#define AU_ERR_INSTALL 81          /* a mirror install was abandoned */
#define AU_ERR_NO_SYSTEM_DIR 82    /* the list names system files and there is no usable system directory */
#define AU_ERR_NOT_SIGNED 83       /* gamedata.xml names publisher keys and no server has a build signed with them */
#define AU_ERR_DISK_FULL 84        /* a volume has too little free space for the run (found before the first file
                                    * is fetched: nothing is fetched) or a write ran out of it (the run stops;
                                    * what is staged stays for the next run); AU_STATUS_FINAL 0 follows */

/* One row of the file table passed with AU_MSG_FILE_TABLE: 204 bytes, no gaps. */
#pragma pack(push, 1)
typedef struct AutoUpdateTableRow {
    char name[200]; /* the list path, "/" separators, NUL-terminated */
    int32_t size;   /* little-endian */
} AutoUpdateTableRow;
#pragma pack(pop)

#ifdef _WIN32

/* The host window is an HWND. */
typedef void* AutoUpdateWindow;
#define AUTOUPDATE_CALL __stdcall

#else

/* On POSIX the host window is a structure the launcher owns. message() is
 * called synchronously on the worker thread for every notification; ask() is
 * the Yes/No question of a locked file (1 = Yes; null means No). */
typedef struct AutoUpdateHost {
    intptr_t (*message)(struct AutoUpdateHost* host, unsigned msg, uintptr_t wParam, intptr_t lParam);
    int (*ask)(struct AutoUpdateHost* host, const char* text, const char* caption);
    void* context;
} AutoUpdateHost;
typedef AutoUpdateHost* AutoUpdateWindow;
#define AUTOUPDATE_CALL

#endif

/* The run's files in gameDirectory: "{package}.upd" is the list of the last
 * complete update and "{package}Md5.ini" its digest; "Update\" stages what a
 * run fetches. A run reports AU_STATUS_FINAL with 1 only when every file it
 * fetched is installed with its listed digest; after anything else both files
 * are as they were, and files already fetched and checked stay staged, so the
 * next run fetches only the rest.
 *
 * Repair: to make the next run check every installed file, delete
 * "{gameDirectory}\{package}.upd" before calling AutoUpdate. Without the
 * installed list the run is a first run (AU_STATUS_FIRST_RUN): it digests each
 * listed file on disk and fetches exactly those that are missing or damaged. */

/* What a host may do while it handles a message. The worker that sent the
 * message waits until the handler returns (Windows: the window procedure runs
 * on the window's thread while the worker is blocked in SendMessageA; POSIX:
 * message() runs on the worker thread itself). So a handler
 *  - may read the records passed by address, but only until it returns;
 *  - may call EndUpdate(): it asks the worker to stop and returns 1 at once,
 *    without waiting; the worker leaves quietly at its next stop test, and
 *    no further message reaches the host. The worker's thread is let go of by
 *    the next EndUpdate() or AutoUpdate() made outside a handler;
 *  - must not expect AutoUpdate() to start a run: called from a handler it is
 *    refused with 0 and changes nothing (the worker of the run is still
 *    there). Start the next run after the handler has returned, e.g. on a
 *    message the host posts to itself;
 *  - must not wait for the host's own thread while that thread is inside
 *    EndUpdate() (POSIX), since EndUpdate() waits for the worker. */

/* Starts a run; 1 when the worker was started, 0 when the run was refused.
 *  hostWindow     receives every message; its thread must keep handling
 *                 messages during the run (the worker waits on each one).
 *  serverAddress  a dotted IPv4 address tried first, or null. Only its digits
 *                 and dots are kept, so a host name cannot work and neither
 *                 can a ":port"; the port is that of the gamedata.xml row with
 *                 the same address, else 38432. The gamedata.xml rows follow.
 *  gameDirectory  "\" or "/" separators, a trailing one or not; 3 to 255
 *                 characters (shorter: a message box and 0), and at most 240
 *                 with packageName. The log autoupdatelog.txt is written
 *                 there: a directory that does not exist gives no log at all.
 *  packageDigest  has no effect: the run replaces it with the digest of the
 *                 list it downloads before reading it. Any text, or null.
 *  packageName    the package's name on the server (update.ini in the game
 *                 directory may give another one there).
 * A worker of an earlier run that is still at work refuses the run (call
 * EndUpdate() first); one that has reported its end or been asked to stop is
 * waited for (at most 4 s) and then let go of.
 * Exported as _AutoUpdate@20 from AutoUpdate.dll. */
int32_t AUTOUPDATE_CALL AutoUpdate(AutoUpdateWindow hostWindow, const char* serverAddress,
                                   const char* gameDirectory, const char* packageDigest,
                                   const char* packageName);

/* Stops the run; 0 when no worker was recorded, else nonzero when it was ended.
 * EndUpdate() clears the host window, so nothing new is sent, asks the worker
 * to stop and waits up to 4 s (40 steps of 100 ms) for its thread to leave,
 * failing a send or recv the worker is blocked in and, on Windows, answering
 * No to a locked-file question the worker shows. A message the worker had
 * already begun to send before the call may still arrive while EndUpdate()
 * runs (Windows: it handles messages sent to the calling thread's windows
 * while it waits), never after it returns. Only a worker still there when the
 * 4 s are spent is ended forcibly (TerminateThread; pthread_cancel on POSIX).
 *
 * What runs inside EndUpdate() on Windows: while it waits (and while
 * AutoUpdate() waits for an earlier worker) it handles the messages other
 * threads send to the calling thread's windows, so the host's window
 * procedure may run inside the call: for a notification the worker had
 * already begun to send, and for anything another thread sends with
 * SendMessage, such as the host's own threads, or the system for the
 * worker's locked-file question, which is owned by the host window and
 * disables it while it is up (e.g. WM_ENABLE). Posted messages and input stay
 * in the queue. From a handler reached that way AutoUpdate() is refused and
 * EndUpdate() returns at once, as from any handler.
 *
 * Unloading: the worker holds its own reference to the library and drops it
 * as its thread ends (FreeLibraryAndExitThread), so a host may call
 * EndUpdate() and then FreeLibrary() even inside a message handler; the
 * library is unloaded once the worker has left. A worker ended forcibly
 * keeps the library loaded until the process ends. On POSIX the worker's
 * reference is dropped when a later EndUpdate() or AutoUpdate() takes its
 * thread back; a host that dlclose()s before that leaves the library loaded.
 * Exported as _EndUpdate@0 from AutoUpdate.dll. */
int32_t AUTOUPDATE_CALL EndUpdate(void);

typedef int32_t(AUTOUPDATE_CALL* AutoUpdateProc)(AutoUpdateWindow, const char*, const char*,
                                                 const char*, const char*);
typedef int32_t(AUTOUPDATE_CALL* EndUpdateProc)(void);

#ifdef __cplusplus
}
#endif

#endif
