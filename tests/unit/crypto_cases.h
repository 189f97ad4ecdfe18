// The platform crypto rows, run natively (platform_crypto_test) and under
// Wine against CNG (tests/wine/platform_crypto_check): SHA-256 against the
// published test vectors, ECDSA P-256 against a signature made by openssl.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/crypto.h"

namespace crypto_cases {

struct Outcome {
    std::string name;
    bool passed;
};

inline std::string hex(const uint8_t* bytes, std::size_t count) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

// Made by: openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256;
// openssl dgst -sha256 -sign, DER turned into r then s.
const std::string kKey(
    "\x04\x35\xd0\xc6\xf9\xff\x1c\x35\xc6\xd9\xdd\x75\xc5\xaf\x43\x9d"
    "\x1a\x96\x89\x84\x4f\xda\xb2\xb0\x59\xfd\xa2\x8f\xb2\x72\x4e\xe4"
    "\x11\xc3\xb2\x9b\xb0\xd7\x5c\xe9\xcf\xf5\x47\xdc\x5e\xa4\xbf\x97"
    "\x4a\xb3\xfe\xb1\xa7\x0b\x3a\xcf\x51\x26\x00\xc2\x5a\x31\x31\x3f"
    "\xf6", 65);
const std::string kOtherKey(
    "\x04\xd4\x13\x59\xb5\xcd\x30\xc5\xd1\x57\xdd\x35\xa8\x54\x6a\x30"
    "\x5e\x9a\xcc\x3a\x10\x6b\xa0\xf8\x8f\x2c\xa2\x59\x5a\x53\x71\x24"
    "\x77\xee\x7f\x1d\x04\x50\x17\x83\x75\x64\xe2\x66\x98\x6e\xd5\x17"
    "\x1e\x08\x72\xba\x1f\x5b\x05\x7b\x03\x93\xd6\xa8\xb2\x6d\x40\x6f"
    "\x46", 65);
const std::string kMessage("signed build manifest");
const std::string kSignature(
    "\xf6\x3d\xfc\x66\xe3\xe6\x10\xf1\x98\x41\x96\x52\xcf\x12\x74\x11"
    "\xdd\x84\xe9\xa3\x4c\x23\x8d\x01\xe9\x94\x3c\x89\xe6\x55\x40\xa2"
    "\x1a\xd6\x3e\x51\x10\xfe\x38\x1a\xca\x6a\x24\xa0\x01\xb6\x06\x1c"
    "\x8f\x42\xa0\x78\x0d\x2f\xc9\xc8\x41\xd6\x58\xaa\x7b\x69\x94\xb7", 64);

inline std::string flipped(std::string bytes, std::size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
}

inline std::vector<Outcome> run() {
    std::vector<Outcome> outcomes;
    struct Vector {
        const char* name;
        std::string input;
        std::size_t piece;  // fed to the incremental digest this many bytes at a time
        const char* digest;
    };
    const Vector vectors[] = {
        {"sha256 empty", "", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"sha256 abc", "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"sha256 448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"sha256 million a", std::string(1000000, 'a'), 4099,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector& vector : vectors) {
        uint8_t oneShot[platform::kSha256Bytes] = {};
        uint8_t pieces[platform::kSha256Bytes] = {};
        bool ok = platform::sha256(vector.input.data(), vector.input.size(), oneShot);
        platform::Sha256 incremental;
        for (std::size_t at = 0; at < vector.input.size(); at += vector.piece) {
            std::size_t left = vector.input.size() - at;
            incremental.update(vector.input.data() + at, left < vector.piece ? left : vector.piece);
        }
        ok = incremental.finish(pieces) && ok;
        outcomes.push_back({vector.name, ok && hex(oneShot, sizeof oneShot) == vector.digest &&
                                             hex(pieces, sizeof pieces) == vector.digest});
    }

    struct Signature {
        const char* name;
        std::string key, message, signature;
        bool valid;
    };
    const Signature signatures[] = {
        {"ecdsa good", kKey, kMessage, kSignature, true},
        {"ecdsa tampered message", kKey, flipped(kMessage, 3), kSignature, false},
        {"ecdsa tampered r", kKey, kMessage, flipped(kSignature, 0), false},
        {"ecdsa tampered s", kKey, kMessage, flipped(kSignature, 63), false},
        {"ecdsa wrong key", kOtherKey, kMessage, kSignature, false},
        {"ecdsa key off the curve", flipped(kKey, 64), kMessage, kSignature, false},
        {"ecdsa zero signature", kKey, kMessage, std::string(64, '\0'), false},
    };
    for (const Signature& row : signatures) {
        bool valid = platform::verifyP256Signature(reinterpret_cast<const uint8_t*>(row.key.data()),
                                                   row.message.data(), row.message.size(),
                                                   reinterpret_cast<const uint8_t*>(row.signature.data()));
        outcomes.push_back({row.name, valid == row.valid});
    }
    return outcomes;
}

}  // namespace crypto_cases
