#include "signing_key.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

std::string OpenSslError()
{
    unsigned long code = ERR_get_error();
    if (code == 0) return "unknown OpenSSL error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

EVP_PKEY* Key(const SigningKey& key) { return static_cast<EVP_PKEY*>(key.get()); }

std::string PublicPoint(EVP_PKEY* key)
{
    unsigned char point[65];
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point, &length) != 1 ||
        length != sizeof point || point[0] != 0x04) {
        return std::string();
    }
    return std::string(reinterpret_cast<char*>(point), length);
}

std::string Base64(const std::string& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                 reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

bool IsP256(EVP_PKEY* key)
{
    if (!EVP_PKEY_is_a(key, "EC")) return false;
    char group[64];
    std::size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) != 1) return false;
    return std::strcmp(group, "prime256v1") == 0;
}

bool WriteText(const std::string& path, const std::string& text, mode_t mode, std::string* error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
    return ok;
}

}  // namespace

void SigningKeyDeleter::operator()(void* key) const { EVP_PKEY_free(static_cast<EVP_PKEY*>(key)); }

bool WriteNewSigningKey(const std::string& path, std::string* publicBase64, std::string* error)
{
    SigningKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        *error = "cannot make a P-256 key: " + OpenSslError();
        return false;
    }
    BIO* memory = BIO_new(BIO_s_mem());
    if (memory == nullptr || PEM_write_bio_PrivateKey(memory, Key(key), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        BIO_free(memory);
        *error = "cannot encode the key: " + OpenSslError();
        return false;
    }
    char* pem = nullptr;
    long pemLength = BIO_get_mem_data(memory, &pem);
    const std::string privateText(pem, static_cast<std::size_t>(pemLength));
    BIO_free(memory);

    *publicBase64 = SigningKeyPublicBase64(key);
    if (publicBase64->empty()) {
        *error = "cannot read the new key's public point";
        return false;
    }
    if (!WriteText(path, privateText, 0600, error)) return false;
    return WriteText(path + ".pub", *publicBase64 + "\n", 0644, error);
}

SigningKey ReadSigningKey(const std::string& path, std::string* error)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return SigningKey();
    }
    SigningKey key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    if (!key) {
        *error = path + " is not a PEM private key: " + OpenSslError();
        return SigningKey();
    }
    if (!IsP256(Key(key))) {
        *error = path + " is not an EC key on the P-256 curve (prime256v1); make one with --new-key";
        return SigningKey();
    }
    return key;
}

std::string SigningKeyPublicBase64(const SigningKey& key)
{
    const std::string point = PublicPoint(Key(key));
    return point.empty() ? std::string() : Base64(point);
}

bool SignBytes(const SigningKey& key, const std::string& bytes, std::string* signature, std::string* error)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t derLength = 0;
    std::string der;
    bool ok = context != nullptr && EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, Key(key)) == 1 &&
              EVP_DigestSign(context, nullptr, &derLength, reinterpret_cast<const unsigned char*>(bytes.data()),
                             bytes.size()) == 1;
    if (ok) {
        der.resize(derLength);
        ok = EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&der[0]), &derLength,
                            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
        der.resize(derLength);
    }
    EVP_MD_CTX_free(context);
    if (!ok) {
        *error = "cannot sign: " + OpenSslError();
        return false;
    }
    // OpenSSL gives DER; the manifest's readers take r then s.
    const unsigned char* at = reinterpret_cast<const unsigned char*>(der.data());
    ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(der.size()));
    if (parsed == nullptr) {
        *error = "cannot read OpenSSL's signature";
        return false;
    }
    unsigned char raw[64];
    ok = BN_bn2binpad(ECDSA_SIG_get0_r(parsed), raw, 32) == 32 && BN_bn2binpad(ECDSA_SIG_get0_s(parsed), raw + 32, 32) == 32;
    ECDSA_SIG_free(parsed);
    if (!ok) {
        *error = "the signature does not fit 64 bytes";
        return false;
    }
    signature->assign(reinterpret_cast<char*>(raw), sizeof raw);
    return true;
}
