// Narrow texts in the system code page: in code page 936 (GBK) the second
// byte of a double-byte character may be any byte from 0x40 to 0xFE, "\"
// (0x5C) included.
#pragma once

// Whether the last character of text, read from its start in the system code
// page (a lead byte takes the next byte with it), is a single "\".
bool EndsWithBackslash(const char* text);
