// The launcher's path split into drive, directory, name and extension: a
// path without a drive (a network share) or without a directory refuses
// the run.
#include <gtest/gtest.h>

#include "host/host_path.h"

namespace {

TEST(HostPath, SplitsADrivePath) {
    HostPathParts parts;
    splitHostPath("C:\\Games\\Client\\launcher.exe", &parts);
    EXPECT_STREQ(parts.drive, "C:");
    EXPECT_STREQ(parts.directory, "\\Games\\Client\\");
    EXPECT_STREQ(parts.name, "launcher");
    EXPECT_STREQ(parts.extension, ".exe");
}

TEST(HostPath, ShareAndBareNamesLackDriveOrDirectory) {
    HostPathParts parts;
    splitHostPath("\\\\server\\share\\launcher.exe", &parts);
    EXPECT_STREQ(parts.drive, "");
    EXPECT_STREQ(parts.directory, "\\\\server\\share\\");

    splitHostPath("launcher.exe", &parts);
    EXPECT_STREQ(parts.drive, "");
    EXPECT_STREQ(parts.directory, "");
    EXPECT_STREQ(parts.name, "launcher");

    splitHostPath("C:launcher", &parts);
    EXPECT_STREQ(parts.drive, "C:");
    EXPECT_STREQ(parts.directory, "");
    EXPECT_STREQ(parts.extension, "");
}

TEST(HostPath, MixedSeparatorsAndDotsInDirectories) {
    HostPathParts parts;
    splitHostPath("/opt/game.v2/bin/launcher", &parts);
    EXPECT_STREQ(parts.directory, "/opt/game.v2/bin/");
    EXPECT_STREQ(parts.name, "launcher");
    EXPECT_STREQ(parts.extension, "");

    splitHostPath("D:\\a/b\\c.d.exe", &parts);
    EXPECT_STREQ(parts.directory, "\\a/b\\");
    EXPECT_STREQ(parts.name, "c.d");
    EXPECT_STREQ(parts.extension, ".exe");
}

TEST(HostPath, OverLongPartsAreCutInsideTheirFields) {
    HostPathParts parts;
    const std::string path = "C:\\" + std::string(400, 'd') + "\\" + std::string(400, 'n') + ".exe";
    splitHostPath(path.c_str(), &parts);
    EXPECT_EQ(std::string(parts.directory).size(), sizeof parts.directory - 1);
    EXPECT_EQ(std::string(parts.name).size(), sizeof parts.name - 1);
    EXPECT_STREQ(parts.extension, ".exe");
}

}  // namespace
