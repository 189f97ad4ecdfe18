#include "options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

bool parse(std::vector<const char*> args, Options& options, std::string& error)
{
    args.insert(args.begin(), "update-host");
    return parseOptions(int(args.size()), args.data(), options, error);
}

TEST(Options, DefaultsWithTheRequiredOptionsOnly)
{
    Options options;
    std::string error;
    ASSERT_TRUE(parse({"--game-dir", "/tmp/g", "--package", "game"}, options, error)) << error;
    EXPECT_EQ("/tmp/g", options.gameDir);
    EXPECT_EQ("game", options.package);
    EXPECT_TRUE(options.library.empty());
    EXPECT_FALSE(options.hasServer);
    EXPECT_EQ("", options.digest);
    EXPECT_EQ(AnswerMode::No, options.answer);
    EXPECT_EQ(-1, options.stopAfterMs);
    EXPECT_EQ(600, options.timeoutS);
    EXPECT_EQ(3000, options.quietPeriodMs);
    EXPECT_EQ(100, options.lingerMs);
    EXPECT_TRUE(options.transcriptPath.empty());
    EXPECT_TRUE(options.lockPath.empty());
}

TEST(Options, EveryOptionInBothSpellings)
{
    Options options;
    std::string error;
    ASSERT_TRUE(parse({"--library", "lib.so", "--game-dir=/g", "--package", "p", "--server", "127.0.0.1",
                       "--digest=abc", "--answer", "ask", "--stop-after", "250", "--timeout=7",
                       "--transcript", "-", "--lock", "/g/a.dll", "--quiet-period", "0", "--linger=0"},
                      options, error))
        << error;
    EXPECT_EQ("lib.so", options.library);
    EXPECT_EQ("/g", options.gameDir);
    EXPECT_TRUE(options.hasServer);
    EXPECT_EQ("127.0.0.1", options.server);
    EXPECT_EQ("abc", options.digest);
    EXPECT_EQ(AnswerMode::Ask, options.answer);
    EXPECT_EQ(250, options.stopAfterMs);
    EXPECT_EQ(7, options.timeoutS);
    EXPECT_EQ("-", options.transcriptPath);
    EXPECT_EQ("/g/a.dll", options.lockPath);
    EXPECT_EQ(0, options.quietPeriodMs);
    EXPECT_EQ(0, options.lingerMs);

    ASSERT_TRUE(parse({"--game-dir", "/g", "--package", "p", "--answer", "yes", "--server="}, options, error));
    EXPECT_EQ(AnswerMode::Yes, options.answer);
    EXPECT_TRUE(options.hasServer);
    EXPECT_EQ("", options.server);

    for (const char* address : {"::1", "localhost"}) {
        ASSERT_TRUE(parse({"--game-dir", "/g", "--package", "p", "--server", address}, options, error));
        EXPECT_EQ(address, options.server);
    }
}

TEST(Options, BadCommandLinesAreRefusedWithAReason)
{
    const std::vector<std::vector<const char*>> bad = {
        {"--package", "p"},
        {"--game-dir", "/g"},
        {"--game-dir", "/g", "--package"},
        {"--game-dir", "/g", "--package", "p", "--answer", "maybe"},
        {"--game-dir", "/g", "--package", "p", "--stop-after", "-5"},
        {"--game-dir", "/g", "--package", "p", "--timeout", "10s"},
        {"--game-dir", "/g", "--package", "p", "--quiet-period", ""},
        {"--game-dir", "/g", "--package", "p", "--linger", "-1"},
        {"--game-dir", "/g", "--package", "p", "--transcript="},
        {"--game-dir", "/g", "--package", "p", "--frobnicate", "1"},
        {"--game-dir", "/g", "--package", "p", "stray"},
        {"--game-dir", "/g", "--package", "p", "--repair=yes"},
        {"--game-dir", "/g", "--package", "p", "--verbose=1"},
        // The library would read these as other addresses, "127.0.1" as 127.0.0.1.
        {"--game-dir", "/g", "--package", "p", "--server", "game server"},
        {"--game-dir", "/g", "--package", "p", "--server", "127.0.0.256"},
        {"--game-dir", "/g", "--package", "p", "--server", "127.0.1"},
        {"--game-dir", "/g", "--package", "p", "--server", "127.0.0.010"},
    };
    for (const auto& args : bad) {
        Options options;
        std::string error;
        EXPECT_FALSE(parse(args, options, error)) << args.back();
        EXPECT_FALSE(error.empty()) << args.back();
    }
}

TEST(Options, RepairAndVerboseAreFlagsThatTakeNoValue)
{
    Options options;
    std::string error;
    ASSERT_TRUE(parse({"--game-dir", "/g", "--package", "p"}, options, error)) << error;
    EXPECT_FALSE(options.repair);
    EXPECT_FALSE(options.verbose);

    // A flag before an option leaves that option's value alone.
    ASSERT_TRUE(parse({"--repair", "--game-dir", "/g", "--verbose", "--package", "p"}, options, error)) << error;
    EXPECT_TRUE(options.repair);
    EXPECT_TRUE(options.verbose);
    EXPECT_EQ("/g", options.gameDir);
    EXPECT_EQ("p", options.package);

    ASSERT_TRUE(parse({"--game-dir", "/g", "--package", "p", "--repair"}, options, error)) << error;
    EXPECT_TRUE(options.repair);
    EXPECT_FALSE(options.verbose);
    EXPECT_FALSE(options.trace);

    // The per-chunk trace is the verbose view with more in it.
    ASSERT_TRUE(parse({"--trace", "--game-dir", "/g", "--package", "p"}, options, error)) << error;
    EXPECT_TRUE(options.trace);
    EXPECT_TRUE(options.verbose);
}

TEST(Options, HelpNeedsNothingElse)
{
    Options options;
    std::string error;
    ASSERT_TRUE(parse({"--help"}, options, error));
    EXPECT_TRUE(options.help);
}

}  // namespace
