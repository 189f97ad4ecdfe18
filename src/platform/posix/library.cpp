#include <dlfcn.h>
#include <strings.h>

#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace platform {

Library loadLibrary(const char* name) {
    if (name == nullptr) {
        posix::setLastError(posix::kErrorModNotFound);
        return nullptr;
    }
    // The updater asks for the Windows zlib by its DLL name.
    const char* native = strcasecmp(name, "zlib.DLL") == 0 ? "libz.so.1" : name;
    void* library = dlopen(native, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) posix::setLastError(posix::kErrorModNotFound);
    return library;
}

void* findSymbol(Library library, const char* name) {
    void* symbol = library && name ? dlsym(library, name) : nullptr;
    if (symbol == nullptr) posix::setLastError(posix::kErrorProcNotFound);
    return symbol;
}

void freeLibrary(Library library) {
    if (library != nullptr) dlclose(library);
}

}  // namespace platform
