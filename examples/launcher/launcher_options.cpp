#include "launcher_options.h"

#include <cstdlib>

namespace {

bool isCount(const std::string& text, std::size_t maxDigits = 9)
{
    if (text.empty() || text.size() > maxDigits)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

}  // namespace

const char* launcherUsage()
{
    return "launcher --package NAME --game-dir DIR [--server IP] [--digest HEX]\n"
           "         [--library PATH] [--repair] [--close-after-ms MS] [--max-kibps N]\n";
}

bool parseLauncherOptions(const std::vector<std::string>& args, LauncherOptions& options, std::string& error)
{
    options = LauncherOptions();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--repair") {
            options.repair = true;
            continue;
        }
        if (name != "--library" && name != "--server" && name != "--package" && name != "--game-dir" &&
            name != "--digest" && name != "--close-after-ms" && name != "--max-kibps") {
            error = "unknown argument: " + name;
            return false;
        }
        if (i + 1 >= args.size()) {
            error = name + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        if (name == "--library") {
            options.library = value;
        } else if (name == "--server") {
            options.server = value;
        } else if (name == "--package") {
            options.package = value;
        } else if (name == "--game-dir") {
            options.gameDir = value;
        } else if (name == "--digest") {
            options.digest = value;
        } else if (name == "--max-kibps") {
            // The library reads at most seven digits.
            if (!isCount(value, 7)) {
                error = "--max-kibps takes a number of KiB per second (0: no limit), not '" + value + "'";
                return false;
            }
            options.maxKiBps = std::strtoll(value.c_str(), nullptr, 10);
        } else if (!isCount(value)) {
            error = "--close-after-ms takes a number of milliseconds, not '" + value + "'";
            return false;
        } else {
            options.closeAfterMs = std::strtoll(value.c_str(), nullptr, 10);
        }
    }
    if (options.package.empty() || options.gameDir.empty()) {
        error = "--package and --game-dir are required";
        return false;
    }
    return true;
}
