#include <cstdio>

#include "autoupdate.h"
#include "platform/platform.h"

namespace platform {

intptr_t sendToHost(HostWindow window, unsigned msg, uintptr_t wParam, intptr_t lParam) {
    auto* host = static_cast<AutoUpdateHost*>(window);
    if (host == nullptr || host->message == nullptr) return 0;
    return host->message(host, msg, wParam, lParam);
}

bool askYesNo(HostWindow window, const char* text, const char* caption) {
    // Without a host that can answer, nobody said Yes.
    auto* host = static_cast<AutoUpdateHost*>(window);
    if (host == nullptr || host->ask == nullptr) return false;
    return host->ask(host, text, caption) == 1;
}

void dismissQuestionOf(uint32_t) {}

void showMessage(const char* text, const char* caption) {
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
}

}  // namespace platform
