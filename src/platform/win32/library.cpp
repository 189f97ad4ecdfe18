#include <windows.h>

#include "platform/platform.h"

namespace platform {

Library loadLibrary(const char* name) {
    return LoadLibraryA(name);
}

void* findSymbol(Library library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void freeLibrary(Library library) {
    if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace platform
