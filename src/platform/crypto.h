// Digests and signatures, from the operating system's own cryptography: CNG
// (bcrypt.dll) on Windows, OpenSSL's libcrypto on POSIX. The core never
// includes either; it sees only these calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

constexpr std::size_t kSha256Bytes = 32;
// An uncompressed P-256 point: 0x04, then X and Y, 32 bytes each, big-endian.
constexpr std::size_t kP256PublicKeyBytes = 65;
// An ECDSA signature as r then s, 32 bytes each, big-endian.
constexpr std::size_t kP256SignatureBytes = 64;

// SHA-256 fed piece by piece. A failure of the provider (or a use after
// finish) makes finish return false; the digest is then not to be trusted.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* bytes, std::size_t count);
    bool finish(uint8_t digest[kSha256Bytes]);

private:
    void* state_;
    bool failed_;
};

// SHA-256 of count bytes in one call; false when the provider failed.
bool sha256(const void* bytes, std::size_t count, uint8_t digest[kSha256Bytes]);

// True only when signature is a valid ECDSA P-256 signature with SHA-256 over
// the count bytes of message, made by the private key of publicKey. A key
// that is not a point of the curve, and a provider that cannot be loaded,
// give false.
bool verifyP256Signature(const uint8_t publicKey[kP256PublicKeyBytes], const void* message, std::size_t count,
                         const uint8_t signature[kP256SignatureBytes]);

}  // namespace platform
