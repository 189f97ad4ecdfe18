#include "run_files.h"

#include <gtest/gtest.h>

namespace {

TEST(RunFiles, TheListsSystemFilesAndTheLogsLockedFile)
{
    std::string list = "game\r\n3\r\n\\bin\\a.exe,10,0,0123,\\中文.dll,20,1,4567,\\b.dll,30,1,89ab\r\n";
    EXPECT_EQ((std::vector<std::string>{"/中文.dll", "/b.dll"}), systemFilePaths(list));
    EXPECT_TRUE(systemFilePaths("one header\n").empty());

    struct Case {
        const char* log;
        const char* gameDir;
        const char* expected;
    } cases[] = {
        {"header\r\n[    3][10:00:01]C:\\g\\data\\中文.dat被程序占,错误类型32\r\n[    4][10:00:02]next\r\n",
         "C:\\g", "data\\中文.dat"},
        {"[    3][10:00:01]C:\\g\\a.dat被程序占,错误类型32\r\n[    9][10:00:05]C:\\g\\b.dat被程序占,错误类型5\r\n",
         "C:\\g\\", "b.dat"},
        {"[    3][10:00:01]C:\\windows\\system32\\x.dll被程序占,错误类型32\r\n", "C:\\g",
         "C:\\windows\\system32\\x.dll"},
        {"[    3][10:00:01]下载好了\r\n", "C:\\g", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, lockedFileFromLog(c.log, c.gameDir)) << c.log;
}

}  // namespace
