#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "platform/crypto.h"
#include "platform/win32/system_library.h"

namespace platform {
namespace {

// bcrypt.dll is loaded on first use from the system directory instead of
// being imported: the DLL keeps loading on Windows versions without CNG, and
// a run without a key never touches it.
struct Cng {
    using OpenAlgorithm = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
    using CloseAlgorithm = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);
    using GetProperty = NTSTATUS(WINAPI*)(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG);
    using CreateHash = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);
    using HashData = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using FinishHash = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using DestroyHash = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);
    using ImportKeyPair = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR, BCRYPT_KEY_HANDLE*, PUCHAR,
                                            ULONG, ULONG);
    using VerifySignature = NTSTATUS(WINAPI*)(BCRYPT_KEY_HANDLE, VOID*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);
    using DestroyKey = NTSTATUS(WINAPI*)(BCRYPT_KEY_HANDLE);

    bool loaded = false;
    OpenAlgorithm openAlgorithm = nullptr;
    CloseAlgorithm closeAlgorithm = nullptr;
    GetProperty getProperty = nullptr;
    CreateHash createHash = nullptr;
    HashData hashData = nullptr;
    FinishHash finishHash = nullptr;
    DestroyHash destroyHash = nullptr;
    ImportKeyPair importKeyPair = nullptr;
    VerifySignature verifySignature = nullptr;
    DestroyKey destroyKey = nullptr;
};

template <typename T>
bool bind(HMODULE module, const char* name, T* out) {
    *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *out != nullptr;
}

Cng loadCng() {
    Cng cng;
    HMODULE module = platform::win32::loadSystemLibrary("bcrypt.dll");
    if (module == nullptr) return cng;
    cng.loaded = bind(module, "BCryptOpenAlgorithmProvider", &cng.openAlgorithm) &&
                 bind(module, "BCryptCloseAlgorithmProvider", &cng.closeAlgorithm) &&
                 bind(module, "BCryptGetProperty", &cng.getProperty) &&
                 bind(module, "BCryptCreateHash", &cng.createHash) && bind(module, "BCryptHashData", &cng.hashData) &&
                 bind(module, "BCryptFinishHash", &cng.finishHash) &&
                 bind(module, "BCryptDestroyHash", &cng.destroyHash) &&
                 bind(module, "BCryptImportKeyPair", &cng.importKeyPair) &&
                 bind(module, "BCryptVerifySignature", &cng.verifySignature) &&
                 bind(module, "BCryptDestroyKey", &cng.destroyKey);
    return cng;
}

const Cng& cng() {
    static const Cng loaded = loadCng();
    return loaded;
}

struct HashState {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // Vista wants the caller to hold the hash object's memory.
    std::vector<UCHAR> object;
};

HashState* openHash() {
    const Cng& api = cng();
    if (!api.loaded) return nullptr;
    HashState* state = new HashState;
    DWORD objectLength = 0;
    ULONG got = 0;
    if (BCRYPT_SUCCESS(api.openAlgorithm(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        BCRYPT_SUCCESS(api.getProperty(state->algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                       sizeof objectLength, &got, 0))) {
        state->object.resize(objectLength ? objectLength : 1);
        if (BCRYPT_SUCCESS(api.createHash(state->algorithm, &state->hash, state->object.data(), objectLength, nullptr,
                                          0, 0))) {
            return state;
        }
    }
    if (state->algorithm != nullptr) api.closeAlgorithm(state->algorithm, 0);
    delete state;
    return nullptr;
}

void closeHash(HashState* state) {
    if (state == nullptr) return;
    const Cng& api = cng();
    if (state->hash != nullptr) api.destroyHash(state->hash);
    if (state->algorithm != nullptr) api.closeAlgorithm(state->algorithm, 0);
    delete state;
}

}  // namespace

Sha256::Sha256() : state_(openHash()), failed_(state_ == nullptr) {}

Sha256::~Sha256() {
    closeHash(static_cast<HashState*>(state_));
}

void Sha256::update(const void* bytes, std::size_t count) {
    if (failed_) return;
    HashState* state = static_cast<HashState*>(state_);
    const UCHAR* at = static_cast<const UCHAR*>(bytes);
    while (count > 0) {
        ULONG piece = count > 0x40000000u ? 0x40000000u : static_cast<ULONG>(count);
        if (!BCRYPT_SUCCESS(cng().hashData(state->hash, const_cast<PUCHAR>(at), piece, 0))) {
            failed_ = true;
            return;
        }
        at += piece;
        count -= piece;
    }
}

bool Sha256::finish(uint8_t digest[kSha256Bytes]) {
    if (failed_) return false;
    failed_ = true;  // a CNG hash cannot be used again after BCryptFinishHash
    HashState* state = static_cast<HashState*>(state_);
    return BCRYPT_SUCCESS(cng().finishHash(state->hash, digest, kSha256Bytes, 0));
}

bool sha256(const void* bytes, std::size_t count, uint8_t digest[kSha256Bytes]) {
    Sha256 hash;
    hash.update(bytes, count);
    return hash.finish(digest);
}

bool verifyP256Signature(const uint8_t publicKey[kP256PublicKeyBytes], const void* message, std::size_t count,
                         const uint8_t signature[kP256SignatureBytes]) {
    if (publicKey[0] != 0x04) return false;
    uint8_t digest[kSha256Bytes];
    if (!sha256(message, count, digest)) return false;
    const Cng& api = cng();
    if (!api.loaded) return false;

    UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    BCRYPT_ECCKEY_BLOB header;
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = 32;
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, publicKey + 1, 64);

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(api.openAlgorithm(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return false;
    BCRYPT_KEY_HANDLE key = nullptr;
    bool valid = false;
    // The import refuses a point that is not on the curve.
    if (BCRYPT_SUCCESS(api.importKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0))) {
        uint8_t copy[kP256SignatureBytes];
        std::memcpy(copy, signature, sizeof copy);
        valid = api.verifySignature(key, nullptr, digest, sizeof digest, copy, sizeof copy, 0) == 0;
        api.destroyKey(key);
    }
    api.closeAlgorithm(algorithm, 0);
    return valid;
}

}  // namespace platform
