#include "terminal_text.h"

#include <windows.h>

#include <cstdlib>

std::string convertGbk(const std::string& gbk, const std::string& target)
{
    if (gbk.empty())
        return gbk;
    UINT codePage = UINT(std::strtoul(target.c_str(), nullptr, 10));
    int wideLength = MultiByteToWideChar(936, 0, gbk.data(), int(gbk.size()), nullptr, 0);
    if (wideLength <= 0)
        return gbk;
    std::wstring wide(std::size_t(wideLength), L'\0');
    MultiByteToWideChar(936, 0, gbk.data(), int(gbk.size()), &wide[0], wideLength);
    // UTF-8 takes no replacement character; every character fits it anyway.
    const char* replacement = codePage == CP_UTF8 ? nullptr : "?";
    int length = WideCharToMultiByte(codePage, 0, wide.data(), wideLength, nullptr, 0, replacement, nullptr);
    if (length <= 0)
        return gbk;
    std::string out(std::size_t(length), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), wideLength, &out[0], length, replacement, nullptr);
    return out;
}

std::string terminalText(const std::string& gbk)
{
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0)
        codePage = GetACP();
    return convertGbk(gbk, std::to_string(codePage));
}
