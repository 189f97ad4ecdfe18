#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>

#include "platform/crypto.h"

namespace platform {
namespace {

EVP_PKEY* importP256Point(const uint8_t point[kP256PublicKeyBytes]) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    if (context == nullptr) return nullptr;
    char group[] = "prime256v1";
    uint8_t pub[kP256PublicKeyBytes];
    std::memcpy(pub, point, sizeof pub);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(context) <= 0 || EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0) {
        key = nullptr;
    }
    EVP_PKEY_CTX_free(context);
    if (key == nullptr) return nullptr;
    // fromdata takes the point as given; the check proves it lies on the curve.
    EVP_PKEY_CTX* check = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    bool onCurve = check != nullptr && EVP_PKEY_public_check(check) == 1;
    EVP_PKEY_CTX_free(check);
    if (!onCurve) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

// OpenSSL reads ECDSA signatures as DER; the wire carries r then s.
bool rawSignatureToDer(const uint8_t raw[kP256SignatureBytes], unsigned char** der, int* derLength) {
    ECDSA_SIG* signature = ECDSA_SIG_new();
    if (signature == nullptr) return false;
    BIGNUM* r = BN_bin2bn(raw, 32, nullptr);
    BIGNUM* s = BN_bin2bn(raw + 32, 32, nullptr);
    if (r == nullptr || s == nullptr || ECDSA_SIG_set0(signature, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(signature);
        return false;
    }
    *der = nullptr;
    *derLength = i2d_ECDSA_SIG(signature, der);
    ECDSA_SIG_free(signature);
    return *derLength > 0;
}

}  // namespace

Sha256::Sha256() : state_(EVP_MD_CTX_new()), failed_(false) {
    failed_ = state_ == nullptr || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(state_), EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state_));
}

void Sha256::update(const void* bytes, std::size_t count) {
    if (failed_) return;
    if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state_), bytes, count) != 1) failed_ = true;
}

bool Sha256::finish(uint8_t digest[kSha256Bytes]) {
    if (failed_) return false;
    failed_ = true;
    unsigned int length = 0;
    return EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(state_), digest, &length) == 1 && length == kSha256Bytes;
}

bool sha256(const void* bytes, std::size_t count, uint8_t digest[kSha256Bytes]) {
    unsigned int length = 0;
    return EVP_Digest(bytes, count, digest, &length, EVP_sha256(), nullptr) == 1 && length == kSha256Bytes;
}

bool verifyP256Signature(const uint8_t publicKey[kP256PublicKeyBytes], const void* message, std::size_t count,
                         const uint8_t signature[kP256SignatureBytes]) {
    EVP_PKEY* key = importP256Point(publicKey);
    if (key == nullptr) return false;
    unsigned char* der = nullptr;
    int derLength = 0;
    bool valid = false;
    if (rawSignatureToDer(signature, &der, &derLength)) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        valid = context != nullptr && EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                EVP_DigestVerify(context, der, static_cast<std::size_t>(derLength),
                                 static_cast<const unsigned char*>(message), count) == 1;
        EVP_MD_CTX_free(context);
    }
    OPENSSL_free(der);
    EVP_PKEY_free(key);
    return valid;
}

}  // namespace platform
