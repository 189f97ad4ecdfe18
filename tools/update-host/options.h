#ifndef UPDATE_HOST_OPTIONS_H
#define UPDATE_HOST_OPTIONS_H

#include <cstdint>
#include <string>

enum class AnswerMode { Yes, No, Ask };

struct Options {
    std::string library;          // empty: the default library beside the executable
    std::string gameDir;
    std::string package;
    std::string server;
    bool hasServer = false;       // without --server the library gets a null address
    std::string digest;
    AnswerMode answer = AnswerMode::No;
    int64_t stopAfterMs = -1;     // -1: never
    int64_t timeoutS = 600;
    std::string transcriptPath;   // empty: none; "-": standard output
    std::string lockPath;
    int64_t quietPeriodMs = 3000;
    // How long the launcher stays after EndUpdate to record a message that
    // comes too late; 0 for a benchmark that times the update alone.
    int64_t lingerMs = 100;
    bool repair = false;          // remove {package}.upd first: the run checks every file on disk
    bool verbose = false;         // on a terminal, a line per file and the library's log lines
                                  // above the bar, without the per-chunk ones
    bool trace = false;           // as verbose, with the library's per-chunk log lines
    bool help = false;
};

// Fills options from argv; on a bad command line returns false with a
// one-line reason in error.
bool parseOptions(int argc, const char* const* argv, Options& options, std::string& error);

const char* usageText();

#endif
