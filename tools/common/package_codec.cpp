#include "package_codec.h"

#include <zlib.h>

bool CompressList(const std::string& text, std::string* package)
{
    uLongf length = compressBound(static_cast<uLong>(text.size()));
    package->assign(length, '\0');
    int rc = compress2(reinterpret_cast<Bytef*>(&(*package)[0]), &length,
                       reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
                       Z_BEST_COMPRESSION);
    if (rc != Z_OK) return false;
    package->resize(length);
    return true;
}

bool InflatePackage(const std::string& package, std::size_t capacity, std::string* text)
{
    text->assign(capacity, '\0');
    uLongf length = static_cast<uLongf>(capacity);
    int rc = uncompress(reinterpret_cast<Bytef*>(&(*text)[0]), &length,
                        reinterpret_cast<const Bytef*>(package.data()), static_cast<uLong>(package.size()));
    if (rc != Z_OK) {
        text->clear();
        return false;
    }
    text->resize(length);
    return true;
}
