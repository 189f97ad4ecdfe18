#include "run_files.h"

#include <gtest/gtest.h>

namespace {

TEST(RunFiles, TheListsSystemFilesAndTheLogsLockedFile)
{
    std::string list = "game\r\n3\r\n\\bin\\a.exe,10,0,0123,\\中文.dll,20,1,4567,\\b.dll,30,1,89ab\r\n";
    EXPECT_EQ((std::vector<std::string>{"/中文.dll", "/b.dll"}), systemFilePaths(list));
    const char* twoLocked = "header\r\n[    3][10:00:01]C:\\g\\a.dat被程序占,错误类型32\r\n"
                            "[    9][10:00:05]C:\\g\\数据\\b.dat被程序占,错误类型5\r\n[   10][10:00:09]next\r\n";
    EXPECT_EQ("数据\\b.dat", lockedFileFromLog(twoLocked, "C:\\g\\"));
    EXPECT_EQ("C:\\g\\数据\\b.dat", lockedFileFromLog(twoLocked, "D:\\other"));
    EXPECT_EQ("", lockedFileFromLog("[    3][10:00:01]下载好了\r\n", "C:\\g"));
}

}  // namespace
