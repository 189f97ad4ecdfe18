// Prints "digest  path" for every argument, as md5sum does, through Md5File:
// a whole-process counterpart of md5sum for side-by-side timing.
#include <cstdio>

#include "files/md5.h"

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        uint8_t digest[16];
        char text[33];
        if (!Md5File(argv[i], digest)) {
            status = 1;
            continue;
        }
        Md5ToHex(digest, text);
        std::printf("%s  %s\n", text, argv[i]);
    }
    return status;
}
