#include "launcher.h"
#include "host_session.h"
#include "options.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "update-host: %s\n%s", error.c_str(), usageText());
        return kExitRefused;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    return runLauncher(options);
}
