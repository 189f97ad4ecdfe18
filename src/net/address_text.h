// Server addresses as the launcher and gamedata.xml write them: a dotted IPv4
// address, compared as the text of its digits and dots whatever else was
// written around them, or a server name (a host name or an IPv6 address)
// that the system resolver turns into addresses.
#pragma once

#include <cstddef>

// The digits and dots of text, in order, into out (size bytes, always
// NUL-terminated); a null text gives an empty one. out may be text itself.
void keepDigitsAndDots(char* out, std::size_t size, const char* text);

// Whether text names its server rather than giving a dotted IPv4 address: it
// has a letter or a colon, and nothing but letters, digits, '.', '-', '_' and
// ':'. Any other text is read by its digits and dots, as it always was.
bool isServerName(const char* text);

// The address text as it is kept and compared: a server name whole (cut to
// size - 1 characters), anything else by its digits and dots.
void keepServerAddress(char* out, std::size_t size, const char* text);
