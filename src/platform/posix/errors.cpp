#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace platform {
namespace posix {

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t translateErrno(int error) {
    switch (error) {
    case 0: return 0;
    case ENOENT:
    case ENOTDIR: return 2;     // ERROR_FILE_NOT_FOUND
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case EBUSY:
    case ETXTBSY: return 5;     // ERROR_ACCESS_DENIED
    case EMFILE:
    case ENFILE: return 4;      // ERROR_TOO_MANY_OPEN_FILES
    case EBADF: return 6;       // ERROR_INVALID_HANDLE
    case ENOMEM: return 8;      // ERROR_NOT_ENOUGH_MEMORY
    case EXDEV: return 17;      // ERROR_NOT_SAME_DEVICE
    case ENOSPC: return 112;    // ERROR_DISK_FULL
    case EINVAL: return 87;     // ERROR_INVALID_PARAMETER
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    case ENOTEMPTY: return 145;     // ERROR_DIR_NOT_EMPTY
    case EEXIST: return 183;        // ERROR_ALREADY_EXISTS
    case EINTR: return 10004;       // WSAEINTR
    case EFAULT: return 10014;      // WSAEFAULT
    case EAGAIN: return 10035;      // WSAEWOULDBLOCK
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EMSGSIZE: return 10040;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case EPIPE: return 10058;       // WSAESHUTDOWN: the peer is gone for writing
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return 31;             // ERROR_GEN_FAILURE
    }
}

void setLastError(uint32_t code) {
    t_lastError = code;
}

void setLastErrorFromErrno(int error) {
    t_lastError = translateErrno(error);
}

}  // namespace posix

uint32_t lastError() {
    return posix::t_lastError;
}

}  // namespace platform
