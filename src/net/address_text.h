// Server addresses are compared as texts made of their digits and dots only,
// whatever else the launcher or gamedata.xml wrote around them.
#pragma once

#include <cstddef>

// The digits and dots of text, in order, into out (size bytes, always
// NUL-terminated); a null text gives an empty one. out may be text itself.
void keepDigitsAndDots(char* out, std::size_t size, const char* text);
