#include "transcript.h"

#include <autoupdate.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string readAll(FILE* stream)
{
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    char buffer[512];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
        text.append(buffer, got);
    return text;
}

intptr_t address(const void* p)
{
    return reinterpret_cast<intptr_t>(p);
}

TEST(TranscriptFormat, NumbersOfPlainMessages)
{
    EXPECT_EQ("11111 30 0\n", formatNotification(AU_MSG_STATUS, 30, 0));
    EXPECT_EQ("11111 6 10054\n", formatNotification(AU_MSG_STATUS, 6, 10054));
    EXPECT_EQ("11114 5000 2500\n", formatNotification(AU_MSG_PROGRESS, 5000, 2500));
    EXPECT_EQ("11117 3000 1500\n", formatNotification(AU_MSG_BYTES, 3000, 1500));
    EXPECT_EQ("11111 12 -3\n", formatNotification(AU_MSG_STATUS, 12, -3));
    EXPECT_EQ("4242 1 2\n", formatNotification(4242, 1, 2));
}

TEST(TranscriptFormat, AddressKindsPrintTheRecordText)
{
    char path[256] = "/数据/a.dat";
    char download[256] = "http://127.0.0.1/下载";
    EXPECT_EQ("11111 2 /\xCA\xFD\xBE\xDD/a.dat\n", formatNotification(AU_MSG_STATUS, 2, address(path)));
    EXPECT_EQ("11111 11117 http://127.0.0.1/\xCF\xC2\xD4\xD8\n",
              formatNotification(AU_MSG_STATUS, 11117, address(download)));
    EXPECT_EQ("11111 2 \n", formatNotification(AU_MSG_STATUS, 2, 0));
}

TEST(TranscriptFormat, FileTableRows)
{
    AutoUpdateTableRow rows[3];
    std::memset(rows, 0, sizeof rows);
    std::strcpy(rows[0].name, "/data/a.dat");
    rows[0].size = 1234;
    // A name filling the whole field has no terminator; the size must not leak into it.
    std::memset(rows[1].name, 'n', sizeof rows[1].name);
    rows[1].size = 0x41414141;
    std::strcpy(rows[2].name, "/x.dll");
    rows[2].size = -7;
    std::string expected = "11115 3\n  /data/a.dat 1234\n  " + std::string(200, 'n') + " " +
                           std::to_string(0x41414141) + "\n  /x.dll -7\n";
    EXPECT_EQ(expected, formatNotification(AU_MSG_FILE_TABLE, 3, address(rows)));
    EXPECT_EQ("11115 0\n", formatNotification(AU_MSG_FILE_TABLE, 0, address(rows)));
    EXPECT_EQ(204u, sizeof(AutoUpdateTableRow));
}

TEST(TranscriptFormat, QuestionAndResults)
{
    EXPECT_EQ("# asked: C:\\g\\a.dll\xB1\xBB\\n\xCA\xC7\n", formatAsked("C:\\g\\a.dll被\n是"));
    EXPECT_EQ("# answered: yes\n", formatAnswered(true));
    EXPECT_EQ("# answered: no\n", formatAnswered(false));
    EXPECT_EQ("# AutoUpdate returned 0\n", formatReturned("AutoUpdate", 0));
    EXPECT_EQ("# EndUpdate returned -1\n", formatReturned("EndUpdate", -1));
}

TEST(TranscriptWriter, LinesBeforeTheResultAreHeldBackAndLateLinesFollowTheEndWithAWarning)
{
    FILE* stream = std::tmpfile();
    FILE* warnings = std::tmpfile();
    ASSERT_NE(nullptr, stream);
    ASSERT_NE(nullptr, warnings);
    Transcript transcript;
    transcript.attach(stream);
    transcript.warnTo(warnings);
    transcript.write("11111 6 50\n");
    EXPECT_EQ("", readAll(stream));
    transcript.autoUpdateReturned(1);
    EXPECT_EQ("# AutoUpdate returned 1\n11111 6 50\n", readAll(stream));
    transcript.write("11111 5 1\n");
    // Written through at once: nothing waits in a buffer.
    EXPECT_EQ("# AutoUpdate returned 1\n11111 6 50\n11111 5 1\n", readAll(stream));
    EXPECT_EQ("", readAll(warnings));
    transcript.endUpdateReturned(1);
    transcript.write("11111 7 0\n");
    transcript.endUpdateReturned(5);
    EXPECT_TRUE(transcript.finished());
    EXPECT_EQ("# AutoUpdate returned 1\n11111 6 50\n11111 5 1\n# EndUpdate returned 1\n11111 7 0\n",
              readAll(stream));
    EXPECT_EQ("update-host: warning: after EndUpdate returned: 11111 7 0\n", readAll(warnings));
    std::fclose(stream);
    std::fclose(warnings);
}

}  // namespace
