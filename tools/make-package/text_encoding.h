// Names move between three encodings: UTF-8 on the build machine's disk, GBK
// in the update list, and whatever the terminal of the person running
// make-package shows.
#pragma once

#include <string>

// text from one iconv encoding into another; false when a byte sequence is
// not of the first or has no place in the second.
bool Recode(const std::string& text, const char* from, const char* to, std::string* out);

// A list path (GBK) as the terminal shows it: in the encoding of the
// environment's locale, or as it is where that cannot hold it.
std::string ListPathForTerminal(const std::string& gbk);
