// Deflated chunk replies: our server may answer a fast-mode request with the
// flag's bit 4 set and a payload of the raw byte count (le32) and a zlib
// stream of those bytes. The client asks for them only while it holds zlib's
// uncompress, which zlib.DLL gives at run time.
#pragma once

#include <cstdint>

using InflateFn = int (*)(unsigned char* dest, unsigned long* destLen, const unsigned char* source,
                          unsigned long sourceLen);

// The uncompress the fetch stage loaded, or null once it is unloaded: no
// deflated reply is asked for without one.
void setReplyInflater(InflateFn uncompress);
bool replyInflaterSet();

// The reply frame (buffsize, flag with bit 4, payload) as the plain frame it
// stands for, into out (3 + wanted bytes of room). False, with a log line,
// when the raw count is above wanted or the stream does not inflate to
// exactly that count.
bool inflateReply(const uint8_t* frame, uint32_t wanted, uint8_t* out);
