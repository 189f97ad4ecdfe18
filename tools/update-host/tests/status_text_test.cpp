#include "status_text.h"

#include <autoupdate.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

// Every code the library names in its public header, read from the header
// itself: a code added there without a sentence here fails the test.
std::vector<intptr_t> namedErrors()
{
    std::ifstream header(AUTOUPDATE_PUBLIC_HEADER);
    std::vector<intptr_t> codes;
    const std::regex define("^#define AU_ERR_[A-Z_]+ +([0-9]+)");
    std::smatch match;
    for (std::string line; std::getline(header, line);) {
        if (std::regex_search(line, match, define))
            codes.push_back(std::stol(match[1]));
    }
    return codes;
}

TEST(StatusText, EveryNamedErrorHasItsOwnSentence)
{
    const std::vector<intptr_t> codes = namedErrors();
    ASSERT_GE(codes.size(), 16u) << "the header was not read: " << AUTOUPDATE_PUBLIC_HEADER;
    std::set<std::string> seen;
    const std::string systemSentence = describeError(10061);
    for (intptr_t code : codes) {
        std::string text = describeError(code);
        EXPECT_TRUE(seen.insert(text).second) << "shared by two codes: " << text;
        EXPECT_EQ(std::string::npos, text.find("system error")) << code << ": " << text;
        EXPECT_NE(text, systemSentence) << code;
    }
}

TEST(StatusText, OtherCodesAreSystemErrorsWithTheirNumber)
{
    EXPECT_NE(std::string::npos, describeError(10061).find("10061"));
    EXPECT_NE(std::string::npos, describeError(10093).find("10093"));
    EXPECT_NE(describeError(10061), describeError(10093));
    // Codes between the named ones are not mistaken for a neighbour.
    EXPECT_NE(std::string::npos, describeError(24).find("24"));
}

TEST(StatusText, EveryStatusKindAndBothValuesOfTheTwoValuedOnes)
{
    struct Case {
        uintptr_t kind;
        intptr_t value;
    };
    const Case cases[] = {{AU_STATUS_FILE, 0},        {AU_STATUS_TRANSFERS, 10},  {AU_STATUS_TRANSFERS, 0},
                          {AU_STATUS_FINAL, 1},       {AU_STATUS_FINAL, 0},       {AU_STATUS_FILE_DONE, 0},
                          {AU_STATUS_LIST_READ, 0},   {AU_STATUS_FIRST_RUN, 0},   {AU_STATUS_SPEED, 0},
                          {AU_STATUS_CONNECTING, 0},  {AU_STATUS_CONNECTING, 1},  {AU_STATUS_DOWNLOAD_ADDRESS, 0},
                          {AU_STATUS_ERROR, AU_ERR_NO_CONNECTION}, {AU_STATUS_BYTES_SAVED, 3},
                          {AU_STATUS_DISK_NEEDED, 3}, {AU_STATUS_DISK_FREE, 3},  {AU_STATUS_DISK_FOLDER, 0}};
    std::set<std::string> seen;
    for (const Case& c : cases) {
        std::string text = describeStatus(c.kind, c.value, "x");
        EXPECT_TRUE(seen.insert(text).second) << c.kind << "/" << c.value << ": " << text;
    }
    EXPECT_EQ(describeError(AU_ERR_NO_CONNECTION), describeStatus(AU_STATUS_ERROR, AU_ERR_NO_CONNECTION, ""));
}

TEST(StatusText, RecordTextAndValuesAppearInTheSentence)
{
    EXPECT_NE(std::string::npos, describeStatus(AU_STATUS_FILE, 0, "/data/a.dat").find("/data/a.dat"));
    EXPECT_NE(std::string::npos,
              describeStatus(AU_STATUS_DOWNLOAD_ADDRESS, 0, "http://127.0.0.1/full").find("http://127.0.0.1/full"));
    EXPECT_NE(std::string::npos, describeStatus(AU_STATUS_SPEED, 384, "").find("384 KiB/s"));
    std::string unknown = describeStatus(99, 7, "");
    EXPECT_NE(std::string::npos, unknown.find("99"));
    EXPECT_NE(std::string::npos, unknown.find("7"));
}

TEST(StatusText, ByteCountsChooseTheirUnitAtEachBoundary)
{
    EXPECT_EQ("0 B", byteCountText(0));
    EXPECT_EQ("1023 B", byteCountText(1023));
    EXPECT_EQ("1.0 KiB", byteCountText(1024));
    EXPECT_EQ("1024.0 KiB", byteCountText(1024LL * 1024 - 1));
    EXPECT_EQ("1.0 MiB", byteCountText(1024LL * 1024));
    EXPECT_EQ("3.5 MiB", byteCountText(3LL * 1024 * 1024 + 512 * 1024));
}

}  // namespace
