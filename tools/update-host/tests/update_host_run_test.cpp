// Runs the built update-host against a scripted stand-in library and checks
// the transcript and the exit status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct HostRun {
    int status = -1;
    std::string transcript;
    bool listLeft = false;
};

HostRun runHost(const std::string& package, const std::string& extra, const char* installedList = nullptr)
{
    char dir[] = "/tmp/update_host_run_XXXXXX";
    HostRun run;
    if (!mkdtemp(dir))
        return run;
    std::string listPath = std::string(dir) + "/" + package + ".upd";
    if (installedList)
        std::ofstream(listPath, std::ios::binary) << installedList;
    std::string transcriptPath = std::string(dir) + "/transcript.txt";
    // setsid: no controlling terminal, so "ask" can never wait for a person.
    std::string command = std::string("setsid -w '") + UPDATE_HOST_EXE + "' --library '" + FAKE_LIBRARY +
                          "' --game-dir '" + dir + "' --package " + package + " --transcript '" +
                          transcriptPath + "' " + extra + " 2>/dev/null </dev/null";
    int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(transcriptPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    run.transcript = text.str();
    std::remove(transcriptPath.c_str());
    run.listLeft = std::ifstream(listPath).good();
    std::remove(listPath.c_str());
    std::remove(dir);
    return run;
}

const std::string kAddressLine = "11111 11117 http://127.0.0.1/\xCF\xC2\xD4\xD8\n";

TEST(UpdateHostRun, CompleteRunTranscriptInArrivalOrder)
{
    HostRun run = runHost("complete", "--timeout 20");
    EXPECT_EQ(0, run.status);
    std::string expected = "# AutoUpdate returned 1\n" + kAddressLine +
                           "11111 30 0\n"
                           "11111 4 10\n"
                           "11111 7 0\n"
                           "11111 8 0\n"
                           "11115 3\n"
                           "  /\xCA\xFD\xBE\xDD/a.dat 1234\n"
                           "  " + std::string(200, 'n') + " -1\n"
                           "  /x.dll 2048\n"
                           "11111 2 /\xCA\xFD\xBE\xDD/a.dat\n"
                           "11114 5000 2500\n"
                           "11117 3000 1500\n"
                           "11111 12 9\n"
                           "11111 7 0\n"
                           "11111 4 0\n"
                           "11111 5 1\n"
                           "# EndUpdate returned 1\n";
    EXPECT_EQ(expected, run.transcript);
}

TEST(UpdateHostRun, TranscriptOnStdoutKeepsTheLibrarysEchoOut)
{
    char dir[] = "/tmp/update_host_stdout_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string command = std::string("setsid -w '") + UPDATE_HOST_EXE + "' --library '" + FAKE_LIBRARY +
                          "' --game-dir '" + dir + "' --package complete --timeout 20 --transcript - "
                          "2>/dev/null </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    int raw = pclose(pipe);
    std::remove(dir);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
    EXPECT_EQ(out.find("log line of the library"), std::string::npos) << out;
    EXPECT_EQ(out.rfind("# AutoUpdate returned 1\n", 0), 0u) << out;
    EXPECT_NE(out.find("11111 5 1\n# EndUpdate returned 1\n"), std::string::npos) << out;
}

TEST(UpdateHostRun, RefusedRunExitsTwo)
{
    HostRun run = runHost("refuse", "");
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("# AutoUpdate returned 0\n# EndUpdate returned 0\n", run.transcript);
}

TEST(UpdateHostRun, MissingLibraryExitsTwo)
{
    std::string command = std::string("'") + UPDATE_HOST_EXE +
                          "' --library /nonexistent/libnothing.so --game-dir /tmp --package p 2>/dev/null";
    int raw = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(2, WEXITSTATUS(raw));
}

TEST(UpdateHostRun, EndingErrorThenQuietPeriod)
{
    HostRun run = runHost("error", "--quiet-period 200 --timeout 20");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("# AutoUpdate returned 1\n" + kAddressLine + "11111 30 0\n11111 6 23\n# EndUpdate returned 1\n",
              run.transcript);
}

TEST(UpdateHostRun, FailedTransferKeepsWaitingUntilTheTimeout)
{
    HostRun run = runHost("transfer-error", "--quiet-period 100 --timeout 1");
    EXPECT_EQ(3, run.status);
    EXPECT_EQ("# AutoUpdate returned 1\n" + kAddressLine + "11111 30 0\n11111 6 1\n# EndUpdate returned 1\n",
              run.transcript);
}

TEST(UpdateHostRun, StopAfterEndsASilentRun)
{
    HostRun run = runHost("silent", "--stop-after 150 --timeout 20");
    EXPECT_EQ(3, run.status);
    EXPECT_EQ("# AutoUpdate returned 1\n" + kAddressLine + "11111 30 0\n# EndUpdate returned 1\n",
              run.transcript);
}

TEST(UpdateHostRun, QuestionAnsweredPerOption)
{
    const std::string asked = "# asked: C:\\game\\a.dll\xB1\xBB\xD5\xBC\xD3\xC3\\n\xCA\xC7\xB7\xF1\xD6\xD8\xCA\xD4\xA3\xBF\n";
    HostRun yes = runHost("ask", "--answer yes --timeout 20");
    EXPECT_EQ(0, yes.status);
    EXPECT_EQ("# AutoUpdate returned 1\n" + kAddressLine + "11111 30 0\n" + asked +
                  "# answered: yes\n11111 5 1\n# EndUpdate returned 1\n",
              yes.transcript);

    // Without a terminal to ask on, "ask" answers No.
    HostRun ask = runHost("ask", "--answer ask --timeout 20");
    EXPECT_EQ(1, ask.status);
    EXPECT_NE(std::string::npos, ask.transcript.find(asked + "# answered: no\n11111 5 0\n"));
}

}  // namespace

namespace {

TEST(UpdateHostRun, RepairRemovesTheInstalledListBeforeTheRunStarts)
{
    const char* list = "2\n1\nrecords\n";
    HostRun plain = runHost("first-run", "--timeout 20", list);
    EXPECT_EQ(1, plain.status);
    EXPECT_TRUE(plain.listLeft);

    HostRun repair = runHost("first-run", "--repair --timeout 20", list);
    EXPECT_EQ(0, repair.status);
    EXPECT_FALSE(repair.listLeft);
    EXPECT_EQ("# AutoUpdate returned 1\n" + kAddressLine + "11111 30 0\n11111 5 1\n# EndUpdate returned 1\n",
              repair.transcript);

    // Nothing to remove is no failure: the run is a first run already.
    HostRun none = runHost("first-run", "--repair --timeout 20");
    EXPECT_EQ(0, none.status);
}

}  // namespace
