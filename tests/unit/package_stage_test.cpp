#include "worker/package_stage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_server.h"
#include "platform/platform.h"
#include "run/run_state.h"

namespace {

using fake::Message;
using CompressFn = int (*)(unsigned char* dest, unsigned long* destLen, const unsigned char* source,
                           unsigned long sourceLen);

const Message kInflateFailed{AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_INFLATE, 0};

// zlib as the stage loads it, with its compress for making packages.
class InflateList : public ::testing::Test {
protected:
    fake::Run run;
    platform::Library zlib = platform::loadLibrary("zlib.DLL");
    UncompressFn uncompress = nullptr;
    CompressFn compress = nullptr;
    std::vector<unsigned char> list;
    unsigned long listLength = 0;

    void SetUp() override {
        ASSERT_NE(zlib, nullptr);
        uncompress = reinterpret_cast<UncompressFn>(platform::findSymbol(zlib, "uncompress"));
        compress = reinterpret_cast<CompressFn>(platform::findSymbol(zlib, "compress"));
        ASSERT_NE(uncompress, nullptr);
        ASSERT_NE(compress, nullptr);
    }
    void TearDown() override { platform::freeLibrary(zlib); }

    std::vector<unsigned char> package(const std::string& text) {
        std::vector<unsigned char> out(text.size() + text.size() / 100 + 64);
        unsigned long length = out.size();
        EXPECT_EQ(compress(out.data(), &length, reinterpret_cast<const unsigned char*>(text.data()),
                           text.size()),
                  0);
        out.resize(length);
        return out;
    }
};

TEST_F(InflateList, WholeListIsInflated) {
    std::string text = "h1\nh2\n\\a.dat,3,0,0123456789abcdef0123456789abcdef\n";
    ASSERT_TRUE(inflateList(uncompress, package(text), &list, &listLength));
    EXPECT_EQ(std::string(list.begin(), list.begin() + listLength), text);
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_TRUE(fake::messages().empty());
}

TEST_F(InflateList, NulByteAnywhereInTheListRefusesIt) {
    std::string clean = "h1\nh2\n\\a.dat,3,0,0123456789abcdef0123456789abcdef,\\b.dat,4,0,x\n";
    for (std::size_t at : {std::size_t{0}, std::size_t{20}, clean.size() - 1}) {
        SCOPED_TRACE(at);
        fake::messages().clear();
        g_RunState.runFailed = 0;
        std::string text = clean;
        text[at] = '\0';
        EXPECT_FALSE(inflateList(uncompress, package(text), &list, &listLength));
        EXPECT_EQ(g_RunState.runFailed, 1);
        EXPECT_EQ(fake::messages(), std::vector<Message>{kInflateFailed});
    }
    EXPECT_EQ(fake::count(run.log(), "解压后的列表含有0字节"), 3) << run.log();
}

TEST_F(InflateList, BytesThatAreNoStreamOrTooBigAreRefused) {
    std::vector<unsigned char> garbage{'n', 'o', 't', ' ', 'z', 'l', 'i', 'b'};
    std::vector<unsigned char> cut = package(std::string(5000, 'x'));
    cut.resize(cut.size() / 2);
    std::vector<unsigned char> bomb = package(std::string(300001, 'x'));
    for (const auto* bytes : {&garbage, &cut, &bomb}) {
        fake::messages().clear();
        g_RunState.runFailed = 0;
        EXPECT_FALSE(inflateList(uncompress, *bytes, &list, &listLength));
        EXPECT_EQ(g_RunState.runFailed, 1);
        EXPECT_EQ(fake::messages(), std::vector<Message>{kInflateFailed});
    }
    EXPECT_EQ(fake::count(run.log(), "cms文件解压失败"), 3) << run.log();
}

TEST_F(InflateList, ListFillingTheBufferExactlyIsAccepted) {
    std::string text = "h1\nh2\n" + std::string(300000 - 6, 'x');
    ASSERT_TRUE(inflateList(uncompress, package(text), &list, &listLength));
    EXPECT_EQ(listLength, 300000u);
}

}  // namespace
