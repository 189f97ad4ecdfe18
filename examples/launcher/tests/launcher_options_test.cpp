#include "launcher_options.h"

#include "download_cap.h"

#include <gtest/gtest.h>

namespace {

TEST(LauncherOptions, TheRequiredPairAndTheDefaults)
{
    LauncherOptions options;
    std::string error;
    ASSERT_TRUE(parseLauncherOptions({"--package", "game", "--game-dir", "C:\\Games\\X"}, options, error)) << error;
    EXPECT_EQ("game", options.package);
    EXPECT_EQ("C:\\Games\\X", options.gameDir);
    EXPECT_EQ("AutoUpdate.dll", options.library);
    EXPECT_EQ("", options.server);
    EXPECT_EQ("", options.digest);
    EXPECT_FALSE(options.repair);
    EXPECT_EQ(-1, options.closeAfterMs);
}

TEST(LauncherOptions, EveryOption)
{
    LauncherOptions options;
    std::string error;
    ASSERT_TRUE(parseLauncherOptions({"--repair", "--server", "127.0.0.1", "--package", "game", "--game-dir", "Z:\\g",
                                      "--digest", "abc", "--library", "other.dll", "--close-after-ms", "0",
                                      "--max-kibps", "1024"},
                                     options, error))
        << error;
    EXPECT_TRUE(options.repair);
    EXPECT_EQ("127.0.0.1", options.server);
    EXPECT_EQ("abc", options.digest);
    EXPECT_EQ("other.dll", options.library);
    EXPECT_EQ(0, options.closeAfterMs);
    EXPECT_EQ(1024, options.maxKiBps);
}

TEST(LauncherOptions, BadCommandLinesAreRefusedWithAReason)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--package", "game"},
        {"--game-dir", "g"},
        {"--package", "game", "--game-dir"},
        {"--package", "game", "--game-dir", "g", "--close-after-ms", "-1"},
        {"--package", "game", "--game-dir", "g", "--close-after-ms", "3s"},
        {"--package", "game", "--game-dir", "g", "--close-after-ms", "9999999999"},
        {"--package", "game", "--game-dir", "g", "--exit"},
        {"--package", "game", "--game-dir", "g", "stray"},
        {"--package", "", "--game-dir", "g"},
        {"--package", "game", "--game-dir", "g", "--max-kibps", "12345678"},
        {"--package", "game", "--game-dir", "g", "--max-kibps", "1M"},
    };
    for (const auto& args : bad) {
        LauncherOptions options;
        std::string error;
        EXPECT_FALSE(parseLauncherOptions(args, options, error)) << (args.empty() ? "(none)" : args.back());
        EXPECT_FALSE(error.empty());
    }
}

TEST(LauncherOptions, TheDownloadCapIsWrittenBesideTheServersAndOnlyThere)
{
    const std::string plain = "<gamedata>\r\n  <servers/>\r\n</gamedata>\r\n";
    const std::string capped = "<gamedata>\r\n  <servers/>\r\n  <download maxkibps=\"512\"/>\r\n</gamedata>\r\n";
    const struct {
        std::string xml;
        long kib;
        std::string expected;
    } cases[] = {{plain, 512, capped}, {capped, 512, capped}, {capped, 0, plain}, {plain, 0, plain},
                 {"<gamedata><servers/></gamedata>", 8, "<gamedata><servers/>  <download maxkibps=\"8\"/>\n</gamedata>"},
                 {"<download maxkibps=\"1\"></download><s/>", 0, "<download maxkibps=\"1\"></download><s/>"}};
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, withDownloadCap(c.xml, c.kib)) << c.xml << " / " << c.kib;
}

}  // namespace
