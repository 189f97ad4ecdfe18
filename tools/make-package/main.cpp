// make-package: builds a served package from a game tree and a system tree.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "package_builder.h"

namespace {

const char kUsage[] =
    "usage: make-package --name NAME --game DIR [--system DIR] --out ROOT [--id N] [--keep N]\n"
    "\n"
    "Walks DIR (and the system DIR) in name order, takes the MD5 of every file,\n"
    "writes the update list and compresses it into the package ROOT/NAME.cms.\n"
    "\n"
    "  --name NAME   package name the clients ask for (at most 99 bytes)\n"
    "  --game DIR    files installed below the game directory\n"
    "  --system DIR  files installed into the system directory\n"
    "  --out ROOT    the folder update-server --root serves\n"
    "  --id N        force the package number (0..65534); otherwise a package\n"
    "                keeps its number and a new one gets the next free number\n"
    "  --keep N      builds of the package kept under .store, the new one\n"
    "                included (2..1000, default 5): a run that began on one of\n"
    "                them finishes from it, also after a reconnect\n"
    "\n"
    "Layout under ROOT:\n"
    "  packages.txt                 one \"ID NAME\" line per package\n"
    "  NAME.cms -> NAME/NAME.cms    the package\n"
    "  NAME -> .store/NAME/<n>      the current build, switched in one step\n"
    "  .store/NAME/<n>/NAME.cms     the package of each kept build\n"
    "  .store/NAME/<n>/files/...    game files by their list paths\n"
    "  .store/NAME/<n>/system/...   system files by their list paths\n"
    "\n"
    "Exit status: 0 built, 1 failed (I/O), 2 refused (bad arguments, a name\n"
    "or path the list cannot hold, more than 4399 files, a list over 300000 bytes).\n";

int Usage(const char* problem)
{
    std::fprintf(stderr, "make-package: %s\n\n%s", problem, kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    PackageBuildOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) return Usage(("missing value after " + arg).c_str());
        const char* value = argv[++i];
        if (arg == "--name") {
            options.name = value;
        } else if (arg == "--game") {
            options.gameDir = value;
        } else if (arg == "--system") {
            options.systemDir = value;
        } else if (arg == "--out") {
            options.outRoot = value;
        } else if (arg == "--id") {
            char* end = nullptr;
            long id = std::strtol(value, &end, 10);
            if (*value == '\0' || *end != '\0' || id < 0 || id > 65534) {
                return Usage("--id takes a number from 0 to 65534");
            }
            options.forcedId = id;
        } else if (arg == "--keep") {
            char* end = nullptr;
            long keep = std::strtol(value, &end, 10);
            if (*value == '\0' || *end != '\0' || keep < 2 || keep > kMaxKeptBuilds) {
                return Usage("--keep takes a number from 2 to 1000");
            }
            options.keptBuilds = keep;
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (options.name.empty() || options.gameDir.empty() || options.outRoot.empty()) {
        return Usage("--name, --game and --out are required");
    }

    PackageBuildResult result;
    std::string error;
    BuildStatus status = BuildPackage(options, &result, &error);
    for (const std::string& warning : result.warnings) std::fprintf(stderr, "make-package: warning: %s\n", warning.c_str());
    if (status != BuildStatus::Built) {
        std::fprintf(stderr, "make-package: %s: %s\n", status == BuildStatus::Refused ? "refused" : "failed",
                     error.c_str());
        return static_cast<int>(status);
    }
    std::printf("package %s number %u: %zu files, list %zu bytes, package %zu bytes, build %s\n",
                options.name.c_str(), static_cast<unsigned>(result.packageId), result.fileCount, result.listBytes,
                result.packageBytes, result.buildDir.c_str());
    return 0;
}
