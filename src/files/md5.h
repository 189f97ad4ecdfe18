// MD5 (RFC 1321) of a file and its lowercase hexadecimal text.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Context {
    uint32_t state[4];
    uint32_t count[2];  // bit count, low word first
    uint8_t buffer[64];
};

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const uint8_t* input, std::size_t length);
// Writes the 16-byte digest and wipes the context.
void Md5Final(uint8_t digest[16], Md5Context* context);

// False (digest untouched, a line on standard output) when the file cannot
// be opened.
bool Md5File(const char* path, uint8_t digest[16]);

// 32 lowercase hexadecimal digits and a NUL into out (33 bytes or more).
void Md5ToHex(const uint8_t digest[16], char* out);
