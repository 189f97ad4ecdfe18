#include "options.h"

#include "net/address_text.h"

#include <cstdlib>

namespace {

bool parseCount(const std::string& text, int64_t& value)
{
    if (text.empty() || text.size() > 15)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

bool parseAnswer(const std::string& text, AnswerMode& mode)
{
    if (text == "yes")
        mode = AnswerMode::Yes;
    else if (text == "no")
        mode = AnswerMode::No;
    else if (text == "ask")
        mode = AnswerMode::Ask;
    else
        return false;
    return true;
}

// The library resolves a host name or an IPv6 address; of any other text it
// keeps only the digits and dots and reads them as inet_addr does, so that
// "127.0.1" would be 127.0.0.1 and "010" the number 8. What it would not read
// as written is refused here; empty asks it to go by gamedata.xml alone.
bool isLibraryAddress(const std::string& text)
{
    // A name fills at most the 255 characters of its row.
    if (text.empty() || (text.size() < 256 && isServerName(text.c_str())))
        return true;
    int parts = 0;
    for (std::size_t start = 0; start <= text.size(); ++parts) {
        std::size_t end = text.find('.', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string part = text.substr(start, end - start);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            (part.size() > 1 && part[0] == '0') || std::atoi(part.c_str()) > 255)
            return false;
        start = end + 1;
    }
    return parts == 4;
}

}  // namespace

const char* usageText()
{
    return "usage: update-host [--library PATH] --game-dir DIR --package NAME [--server IP]\n"
           "                   [--digest HEX] [--answer yes|no|ask] [--stop-after MS]\n"
           "                   [--timeout S] [--transcript FILE|-] [--lock PATH]\n"
           "                   [--quiet-period MS] [--linger MS] [--repair] [--verbose]\n"
           "                   [--trace]\n"
           "  --server   the address the library tries first, passed to it as written:\n"
           "             a dotted IPv4 address, a host name or an IPv6 address\n"
           "  --linger   how long to stay after EndUpdate to record a late message\n"
           "             (default 100 ms)\n"
           "  --repair   remove the installed list {package}.upd first, so that the run\n"
           "             checks every file on disk by its digest and fetches what is\n"
           "             missing or damaged\n"
           "  --verbose  on a terminal, show a line per file and the library's log lines\n"
           "             above the progress bar, without its lines for every chunk\n"
           "  --trace    as --verbose, with the library's lines for every chunk\n";
}

bool parseOptions(int argc, const char* const* argv, Options& options, std::string& error)
{
    options = Options();
    bool haveGameDir = false;
    bool havePackage = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return true;
        }
        if (arg == "--repair") {
            options.repair = true;
            continue;
        }
        if (arg == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (arg == "--trace") {
            options.verbose = true;
            options.trace = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0) {
            error = "unexpected argument: " + arg;
            return false;
        }
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        std::size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        static const char* const known[] = {"--library", "--game-dir", "--package", "--server",
                                            "--digest", "--answer", "--stop-after", "--timeout",
                                            "--transcript", "--lock", "--quiet-period", "--linger"};
        bool isKnown = false;
        for (const char* k : known)
            isKnown = isKnown || name == k;
        if (!isKnown) {
            error = "unknown option: " + name;
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        }

        if (name == "--library") {
            options.library = value;
        } else if (name == "--game-dir") {
            options.gameDir = value;
            haveGameDir = true;
        } else if (name == "--package") {
            options.package = value;
            havePackage = true;
        } else if (name == "--server") {
            if (!isLibraryAddress(value)) {
                error = "--server takes a dotted IPv4 address such as 127.0.0.1, a host name or an IPv6 "
                        "address, not '" + value + "'";
                return false;
            }
            options.server = value;
            options.hasServer = true;
        } else if (name == "--digest") {
            options.digest = value;
        } else if (name == "--answer") {
            if (!parseAnswer(value, options.answer)) {
                error = "--answer takes yes, no or ask, not '" + value + "'";
                return false;
            }
        } else if (name == "--stop-after") {
            if (!parseCount(value, options.stopAfterMs)) {
                error = "--stop-after takes a number of milliseconds, not '" + value + "'";
                return false;
            }
        } else if (name == "--timeout") {
            if (!parseCount(value, options.timeoutS)) {
                error = "--timeout takes a number of seconds, not '" + value + "'";
                return false;
            }
        } else if (name == "--quiet-period") {
            if (!parseCount(value, options.quietPeriodMs)) {
                error = "--quiet-period takes a number of milliseconds, not '" + value + "'";
                return false;
            }
        } else if (name == "--linger") {
            if (!parseCount(value, options.lingerMs)) {
                error = "--linger takes a number of milliseconds, not '" + value + "'";
                return false;
            }
        } else if (name == "--transcript") {
            if (value.empty()) {
                error = "--transcript needs a file name or -";
                return false;
            }
            options.transcriptPath = value;
        } else if (name == "--lock") {
            if (value.empty()) {
                error = "--lock needs a path";
                return false;
            }
            options.lockPath = value;
        }
    }
    if (!haveGameDir) {
        error = "--game-dir is required";
        return false;
    }
    if (!havePackage) {
        error = "--package is required";
        return false;
    }
    return true;
}
