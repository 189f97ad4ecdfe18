#include "text_encoding.h"

#include <algorithm>
#include <clocale>
#include <iconv.h>
#include <langinfo.h>

bool Recode(const std::string& text, const char* from, const char* to, std::string* out)
{
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        *out = text;
        return true;
    }
    iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    std::string in = text;
    std::string converted(in.size() * 4 + 4, '\0');
    char* inPtr = &in[0];
    char* outPtr = &converted[0];
    std::size_t inLeft = in.size();
    std::size_t outLeft = converted.size();
    std::size_t rc = iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(converter);
    if (rc == static_cast<std::size_t>(-1) || inLeft != 0) return false;
    converted.resize(converted.size() - outLeft);
    *out = converted;
    return true;
}

std::string ListPathForTerminal(const std::string& gbk)
{
    // The C locale names ASCII; only the environment's says what the
    // terminal shows.
    std::setlocale(LC_CTYPE, "");
    std::string shown;
    return Recode(gbk, "GBK", nl_langinfo(CODESET), &shown) ? shown : gbk;
}
