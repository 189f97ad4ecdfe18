#include "terminal_text.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>

namespace {

// The terminal's character set from the environment's locale, read without
// changing the process's locale: the library runs under the "C" locale.
std::string localeCharset()
{
    locale_t locale = newlocale(LC_CTYPE_MASK, "", locale_t(0));
    if (locale == locale_t(0))
        return "ASCII";
    std::string charset = nl_langinfo_l(CODESET, locale);
    freelocale(locale);
    return charset.empty() ? "ASCII" : charset;
}

bool isAscii(const std::string& text)
{
    for (unsigned char c : text) {
        if (c >= 0x80)
            return false;
    }
    return true;
}

}  // namespace

std::string convertGbk(const std::string& gbk, const std::string& target)
{
    if (isAscii(gbk))
        return gbk;
    iconv_t cd = iconv_open(target.c_str(), "GBK");
    if (cd == iconv_t(-1))
        cd = iconv_open("ASCII", "GBK");
    if (cd == iconv_t(-1)) {
        std::string plain;
        for (unsigned char c : gbk)
            plain += c < 0x80 ? char(c) : '?';
        return plain;
    }
    std::string out;
    char buffer[256];
    char* in = const_cast<char*>(gbk.data());
    size_t inLeft = gbk.size();
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, size_t(outPtr - buffer));
        if (result == size_t(-1) && errno != E2BIG) {
            // An invalid, incomplete or unshowable character: skip one byte of
            // it, or both when it is a double-byte GBK character.
            unsigned char lead = static_cast<unsigned char>(*in);
            size_t skip = lead >= 0x81 && lead <= 0xFE && inLeft >= 2 ? 2 : 1;
            in += skip;
            inLeft -= skip;
            out += '?';
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

std::string terminalText(const std::string& gbk)
{
    static const std::string charset = localeCharset();
    return convertGbk(gbk, charset);
}
