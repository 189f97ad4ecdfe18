#ifndef UPDATE_HOST_TERMINAL_TEXT_H
#define UPDATE_HOST_TERMINAL_TEXT_H

#include <string>

// GBK text (the library's log lines and paths) in the terminal's encoding:
// the locale's character set on POSIX, the console code page on Windows.
// What cannot be shown there becomes "?". One definition per OS.
std::string terminalText(const std::string& gbk);

// The same conversion into a named character set (POSIX: an iconv name;
// Windows: a code page number in text, "65001"). Used by the tests.
std::string convertGbk(const std::string& gbk, const std::string& target);

#endif
