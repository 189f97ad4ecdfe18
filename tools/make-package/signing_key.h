// The publisher's P-256 key on the build machine: made, read from PEM, and
// used to sign. Only make-package holds a private key; clients and servers
// see the public point alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct SigningKeyDeleter {
    void operator()(void* key) const;
};
using SigningKey = std::unique_ptr<void, SigningKeyDeleter>;

// Writes a new key pair: the private key as PEM to path (mode 0600, never over
// an existing file) and base64 of its 65-byte public point to path + ".pub".
// *publicBase64 receives that text.
bool WriteNewSigningKey(const std::string& path, std::string* publicBase64, std::string* error);

// Reads a PEM private key (ours or one made by openssl); refused unless it
// is an EC key on P-256.
SigningKey ReadSigningKey(const std::string& path, std::string* error);

// base64 of the key's uncompressed public point, as gamedata.xml carries it.
std::string SigningKeyPublicBase64(const SigningKey& key);

// ECDSA with SHA-256 over bytes; *signature gets r then s, 64 bytes.
bool SignBytes(const SigningKey& key, const std::string& bytes, std::string* signature, std::string* error);
