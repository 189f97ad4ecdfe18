// How the POSIX side reports failures: every errno crosses into the core as
// the Windows system error code the Windows build would have produced.
#pragma once

#include <cstdint>

namespace platform {
namespace posix {

// Windows system error codes the POSIX side hands out.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kWsaeBadf = 10009;
constexpr uint32_t kWsaeAddrNotAvail = 10049;
constexpr uint32_t kWsaeTimedOut = 10060;

// The one errno-to-Windows mapping of this layer.
uint32_t translateErrno(int error);

// The calling thread's last error, as lastError() returns it.
void setLastError(uint32_t code);
void setLastErrorFromErrno(int error);

}  // namespace posix
}  // namespace platform
