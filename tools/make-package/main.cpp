// make-package: builds a served package from a game tree and a system tree.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "package_builder.h"
#include "signing_key.h"
#include "text_encoding.h"

namespace {

const char kUsage[] =
    "usage: make-package --name NAME --game DIR [--system DIR] --out ROOT [--id N] [--keep N]\n"
    "                    [--sign KEYFILE [--sequence N] [--expires-days N]]\n"
    "                    [--no-sums] [--no-deflate] [--verbose]\n"
    "       make-package --new-key FILE\n"
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
    "  --sign KEYFILE  sign the build with this P-256 private key (PEM): writes\n"
    "                NAME.manifest and NAME.sig beside NAME.cms\n"
    "  --sequence N  the signed build's sequence number; otherwise one above\n"
    "                the highest signed before (1 for the first signed build),\n"
    "                unsigned builds in between or not\n"
    "  --expires-days N  the signed build expires N days from now (1..3650,\n"
    "                default 30); 0 makes a build that has expired already,\n"
    "                to see what players are shown when a re-signing is missed\n"
    "  --no-sums     publish no block sums: a changed file then travels whole\n"
    "  --no-deflate  mark no file as worth deflating: the server then sends\n"
    "                every file raw\n"
    "  --verbose     a line per changed file in the patch report, and the\n"
    "                objects a signed build added to the HTTP tree\n"
    "  --new-key FILE  write a new P-256 key pair: FILE (PEM, mode 0600) and\n"
    "                FILE.pub (base64 of the public point, for gamedata.xml);\n"
    "                prints the public key and builds nothing\n"
    "\n"
    "Layout under ROOT:\n"
    "  packages.txt                 one \"ID NAME\" line per package\n"
    "  NAME.cms -> NAME/NAME.cms    the package\n"
    "  NAME -> .store/NAME/<n>      the current build, switched in one step\n"
    "  .store/NAME/<n>/NAME.cms     the package of each kept build\n"
    "  .store/NAME/<n>/files/...    game files by their list paths\n"
    "  .store/NAME/<n>/system/...   system files by their list paths\n"
    "  NAME.manifest, NAME.sig      signed builds only: linked into NAME/ like NAME.cms\n"
    "  .store/NAME/<n>/sums/<serial>  block sums of each file of 64 KiB or more\n"
    "  .store/NAME/<n>/deflate.txt  serials of the files worth deflating\n"
    "  .store/NAME/<n>/deflated/<serial>  their chunks, stored deflated\n"
    "  .store/NAME/signed-sequence  the highest sequence signed for the package\n"
    "  .http/objects/<h0h1>/<h>     signed builds only: each file's bytes, named by\n"
    "                               its SHA-256 h, for HTTP mirrors (copy .http to\n"
    "                               them before the builds go to the servers)\n"
    "  .http/sums/<h0h1>/<h>        its block sums, where it has them\n"
    "\n"
    "After the build, one line per older kept build: what a player of it\n"
    "fetches of the new one (the block sums and the changed ranges of each\n"
    "changed file, before deflating).\n"
    "\n"
    "Exit status: 0 built, 1 failed (I/O), 2 refused (bad arguments, a name\n"
    "or path the list cannot hold, more than 4399 files, a list over 300000 bytes,\n"
    "files and list adding up to more than 2147483647 bytes: a client counts a\n"
    "run's bytes in 32-bit signed counters).\n";

bool ParseNumber(const char* value, long long low, long long high, long long* out)
{
    char* end = nullptr;
    errno = 0;
    long long number = std::strtoll(value, &end, 10);
    if (*value == '\0' || *end != '\0' || errno != 0 || number < low || number > high) return false;
    *out = number;
    return true;
}

int NewKey(const char* path)
{
    std::string publicKey, error;
    if (!WriteNewSigningKey(path, &publicKey, &error)) {
        std::fprintf(stderr, "make-package: failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", publicKey.c_str());
    std::fprintf(stderr, "make-package: private key %s (keep it off the servers), public key %s.pub\n", path, path);
    return 0;
}

int Usage(const char* problem)
{
    std::fprintf(stderr, "make-package: %s\n\n%s", problem, kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    PackageBuildOptions options;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        // Switches take no value.
        if (arg == "--no-sums" || arg == "--no-deflate" || arg == "--verbose") {
            if (arg == "--no-sums") options.blockSums = false;
            if (arg == "--no-deflate") options.deflateMarks = false;
            if (arg == "--verbose") verbose = true;
            continue;
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
        } else if (arg == "--new-key") {
            if (argc != 3) return Usage("--new-key takes no other option");
            return NewKey(value);
        } else if (arg == "--sign") {
            options.signing.keyPath = value;
        } else if (arg == "--sequence") {
            if (!ParseNumber(value, 1, INT64_MAX, &options.signing.sequence)) {
                return Usage("--sequence takes a number from 1");
            }
        } else if (arg == "--expires-days") {
            long long days = 0;
            if (!ParseNumber(value, 0, 3650, &days)) return Usage("--expires-days takes a number from 0 to 3650");
            options.signing.expiresDays = static_cast<long>(days);
        } else if (arg == "--keep") {
            long long keep = 0;
            if (!ParseNumber(value, 2, kMaxKeptBuilds, &keep)) return Usage("--keep takes a number from 2 to 1000");
            options.keptBuilds = static_cast<long>(keep);
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
    if (result.sequence != 0) std::printf("signed: sequence %llu\n", static_cast<unsigned long long>(result.sequence));
    if (verbose && result.http.objects > 0) {
        std::printf("http: %zu of %zu objects new, %zu tables new\n", result.http.newObjects, result.http.objects,
                    result.http.newTables);
    }
    if (verbose && result.httpRemoved > 0) {
        std::printf("http: %zu objects and tables no kept build names removed\n", result.httpRemoved);
    }
    for (const PatchReport& patch : result.patches) {
        std::printf("patch %s\n", PatchReportLine(patch, result.fileCount).c_str());
        for (const PatchedFile& file : patch.files) {
            if (!verbose) break;
            std::printf("  %s %lld -> %llu%s\n", ListPathForTerminal(file.listPath).c_str(),
                        static_cast<long long>(file.size),
                        static_cast<unsigned long long>(file.fetched), file.matched ? "" : " (whole)");
        }
    }
    return 0;
}
