// update-host on a terminal: the library's echo is cut into lines, converted
// from GBK, and kept off the progress bar; run through a pseudo-terminal.
#include "log_lines.h"
#include "terminal_text.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// 下载好了 in GBK and in UTF-8.
const std::string kGbk = "\xCF\xC2\xD4\xD8\xBA\xC3\xC1\xCB";
const std::string kUtf8 = "\xE4\xB8\x8B\xE8\xBD\xBD\xE5\xA5\xBD\xE4\xBA\x86";
// 数据 (a folder of the fake run's first file).
const std::string kDataGbk = "\xCA\xFD\xBE\xDD";
const std::string kDataUtf8 = "\xE6\x95\xB0\xE6\x8D\xAE";

TEST(LogLines, PiecesOfAnySizeBecomeWholeLinesWithoutTheirEnds)
{
    const std::string echo = "[    1][00:00:00]one\r\n[    2][00:00:00]" + kGbk + "\r\n\r\nbare\nhalf";
    for (std::size_t piece : {std::size_t(1), std::size_t(2), std::size_t(7), echo.size()}) {
        LogLines splitter;
        std::vector<std::string> lines;
        for (std::size_t at = 0; at < echo.size(); at += piece)
            splitter.feed(echo.data() + at, std::min(piece, echo.size() - at), lines);
        ASSERT_EQ(4u, lines.size()) << "pieces of " << piece;
        EXPECT_EQ("[    1][00:00:00]one", lines[0]);
        EXPECT_EQ("[    2][00:00:00]" + kGbk, lines[1]);
        EXPECT_EQ("", lines[2]);
        EXPECT_EQ("bare", lines[3]);
        EXPECT_EQ("half", splitter.rest());
        EXPECT_EQ("", splitter.rest());
    }
    LogLines carriage;
    std::vector<std::string> none;
    carriage.feed("cut\r", 4, none);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ("cut", carriage.rest());
}

TEST(TerminalText, GbkBecomesTheTargetCharsetAndTheUnshowableAQuestionMark)
{
    EXPECT_EQ("plain [1] text", convertGbk("plain [1] text", "UTF-8"));
    EXPECT_EQ("log " + kUtf8 + " end", convertGbk("log " + kGbk + " end", "UTF-8"));
    // Each double-byte character counts once, whatever cannot be shown.
    EXPECT_EQ("log ???? end", convertGbk("log " + kGbk + " end", "ASCII"));
    // A lead byte cut off at the end, and a byte that is no GBK at all.
    EXPECT_EQ(kUtf8 + "?", convertGbk(kGbk + "\xCF", "UTF-8"));
    EXPECT_EQ("a?b", convertGbk("a\xFF" "b", "UTF-8"));
    EXPECT_EQ(std::string(3000, 'x') + kUtf8, convertGbk(std::string(3000, 'x') + kGbk, "UTF-8"));
}

struct TerminalRun {
    int status = -1;
    std::string screen;      // everything the terminal received
    std::string transcript;
};

// Runs update-host with the fake library on a pseudo-terminal (standard
// output and error both) under the given locale, for at most 20 seconds.
TerminalRun runOnTerminal(const std::string& package, const std::vector<std::string>& extra,
                          const std::string& locale, bool withTranscript)
{
    TerminalRun run;
    char dir[] = "/tmp/update_host_tty_XXXXXX";
    if (!mkdtemp(dir))
        return run;
    std::string transcriptPath = std::string(dir) + "/transcript.txt";
    std::vector<std::string> args = {UPDATE_HOST_EXE, "--library", FAKE_LIBRARY, "--game-dir", dir,
                                     "--package", package, "--timeout", "20"};
    if (withTranscript) {
        args.push_back("--transcript");
        args.push_back(transcriptPath);
    }
    args.insert(args.end(), extra.begin(), extra.end());

    int master = -1;
    struct winsize size = {24, 200, 0, 0};
    pid_t child = forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        setenv("LC_ALL", locale.c_str(), 1);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (child < 0)
        return run;
    char buffer[4096];
    for (int rounds = 0; rounds < 200; ++rounds) {
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got <= 0)
                break;  // the child is gone: EIO on Linux
            run.screen.append(buffer, std::size_t(got));
        }
    }
    int raw = 0;
    if (waitpid(child, &raw, WNOHANG) == 0) {
        kill(child, SIGKILL);
        waitpid(child, &raw, 0);
    }
    close(master);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(transcriptPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    run.transcript = text.str();
    std::remove(transcriptPath.c_str());
    std::remove(dir);
    return run;
}

TEST(UpdateHostOnTerminal, TheBarAloneWithoutVerboseAndTheTranscriptUnchanged)
{
    TerminalRun run = runOnTerminal("complete", {}, "C.UTF-8", true);
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_EQ(std::string::npos, run.screen.find("log line of the library")) << run.screen;
    EXPECT_NE(std::string::npos, run.screen.find("[##########..........]  50.0%")) << run.screen;
    // The bar names the file in the terminal's encoding, never in raw GBK.
    EXPECT_NE(std::string::npos, run.screen.find(kDataUtf8 + "/a.dat")) << run.screen;
    EXPECT_EQ(std::string::npos, run.screen.find(kDataGbk)) << run.screen;
    EXPECT_NE(std::string::npos,
              run.screen.find("update complete - 1 of 3 files fetched, 1.5 KiB in ")) << run.screen;
    // One result line: the summary.
    EXPECT_EQ(run.screen.find("update complete"), run.screen.rfind("update complete")) << run.screen;
    EXPECT_EQ(std::string::npos, run.screen.find("fetched /")) << run.screen;

    // The transcript is the same byte for byte as without a terminal.
    const std::string expected = "# AutoUpdate returned 1\n11111 11117 http://127.0.0.1/\xCF\xC2\xD4\xD8\n"
                                 "11111 30 0\n11111 4 10\n11111 7 0\n11111 8 0\n11115 3\n"
                                 "  /" + kDataGbk + "/a.dat 1234\n  " + std::string(200, 'n') + " -1\n"
                                 "  /x.dll 2048\n11111 2 /" + kDataGbk + "/a.dat\n11114 5000 2500\n"
                                 "11117 3000 1500\n11111 12 9\n11111 7 0\n11111 4 0\n11111 5 1\n"
                                 "# EndUpdate returned 1\n";
    EXPECT_EQ(expected, run.transcript);
}

TEST(UpdateHostOnTerminal, VerboseShowsTheLogLinesConvertedOnLinesOfTheirOwn)
{
    TerminalRun run = runOnTerminal("complete", {"--verbose"}, "C.UTF-8", false);
    EXPECT_EQ(0, run.status) << run.screen;
    // The terminal turns "\n" into "\r\n"; the line starts at the left edge.
    // Blanks may follow it: they wipe the rest of a bar drawn before the line
    // came through the log's pipe.
    const std::string line = "\r[    1][00:00:00]log line of the library " + kUtf8;
    std::size_t at = run.screen.find(line);
    ASSERT_NE(std::string::npos, at) << run.screen;
    std::size_t end = run.screen.find("\r\n", at);
    ASSERT_NE(std::string::npos, end) << run.screen;
    EXPECT_EQ(std::string::npos, run.screen.substr(at + line.size(), end - at - line.size()).find_first_not_of(' '))
        << run.screen;
    EXPECT_EQ(std::string::npos, run.screen.find(kGbk)) << run.screen;
    EXPECT_NE(std::string::npos, run.screen.find("update complete - ")) << run.screen;
    // A line per file; the lines of every chunk only with --trace.
    EXPECT_NE(std::string::npos, run.screen.find("\rfetched /" + kDataUtf8 + "/a.dat (1.5 KiB)")) << run.screen;
    EXPECT_EQ(std::string::npos, run.screen.find("sedmax wei")) << run.screen;

    TerminalRun traced = runOnTerminal("complete", {"--trace"}, "C.UTF-8", false);
    EXPECT_EQ(0, traced.status) << traced.screen;
    EXPECT_NE(std::string::npos, traced.screen.find("[    3][00:00:00]sedmax wei : 3000 sendnow :1500")) << traced.screen;
    EXPECT_NE(std::string::npos, traced.screen.find("]\xE6\x8E\xA5\xE6\x94\xB6")) << traced.screen;  // 接收
    EXPECT_NE(std::string::npos, traced.screen.find("log line of the library")) << traced.screen;
}

TEST(UpdateHostOnTerminal, AnAsciiTerminalGetsQuestionMarksAndTheFailureInWords)
{
    TerminalRun ascii = runOnTerminal("complete", {"--verbose"}, "C", false);
    EXPECT_EQ(0, ascii.status);
    EXPECT_NE(std::string::npos, ascii.screen.find("log line of the library ????")) << ascii.screen;
    EXPECT_EQ(std::string::npos, ascii.screen.find(kGbk));

    TerminalRun failed = runOnTerminal("error", {"--quiet-period", "100"}, "C.UTF-8", false);
    EXPECT_EQ(1, failed.status);
    EXPECT_NE(std::string::npos, failed.screen.find("update failed (error 23): ")) << failed.screen;
    EXPECT_NE(std::string::npos, failed.screen.find(" - 0 of 0 files fetched")) << failed.screen;
}

}  // namespace
