#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "autoupdate.h"
#include "platform/platform.h"

namespace {

struct Recorded {
    int calls = 0;
    AutoUpdateHost* host = nullptr;
    unsigned msg = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::string text;
    std::string caption;
    int answer = 0;
};

intptr_t recordMessage(AutoUpdateHost* host, unsigned msg, uintptr_t wParam, intptr_t lParam) {
    auto* seen = static_cast<Recorded*>(host->context);
    ++seen->calls;
    seen->host = host;
    seen->msg = msg;
    seen->wParam = wParam;
    seen->lParam = lParam;
    return 42;
}

int recordQuestion(AutoUpdateHost* host, const char* text, const char* caption) {
    auto* seen = static_cast<Recorded*>(host->context);
    ++seen->calls;
    seen->text = text;
    seen->caption = caption;
    return seen->answer;
}

TEST(PlatformHostWindow, MessagesReachTheCallbackWithTheirArguments) {
    Recorded seen;
    AutoUpdateHost host{recordMessage, nullptr, &seen};
    int row = 0;
    intptr_t address = reinterpret_cast<intptr_t>(&row);
    EXPECT_EQ(platform::sendToHost(&host, AU_MSG_STATUS, AU_STATUS_FILE, address), 42);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.host, &host);
    EXPECT_EQ(seen.msg, 11111u);
    EXPECT_EQ(seen.wParam, 2u);
    EXPECT_EQ(seen.lParam, address);

    EXPECT_EQ(platform::sendToHost(nullptr, AU_MSG_STATUS, 5, 1), 0);
    AutoUpdateHost silent{nullptr, nullptr, &seen};
    EXPECT_EQ(platform::sendToHost(&silent, AU_MSG_STATUS, 5, 1), 0);
    EXPECT_EQ(seen.calls, 1);
}

TEST(PlatformHostWindow, OnlyAnAnswerOfOneIsYes) {
    Recorded seen;
    AutoUpdateHost host{nullptr, recordQuestion, &seen};
    seen.answer = 1;
    EXPECT_TRUE(platform::askYesNo(&host, "retry?", "caption"));
    EXPECT_EQ(seen.text, "retry?");
    EXPECT_EQ(seen.caption, "caption");
    for (int answer : {0, 2, -1, 7}) {
        seen.answer = answer;
        EXPECT_FALSE(platform::askYesNo(&host, "retry?", "caption")) << answer;
    }
    EXPECT_EQ(seen.calls, 5);

    AutoUpdateHost mute{recordMessage, nullptr, &seen};
    EXPECT_FALSE(platform::askYesNo(&mute, "retry?", "caption"));
    EXPECT_FALSE(platform::askYesNo(nullptr, "retry?", "caption"));
    EXPECT_EQ(seen.calls, 5);
}

TEST(PlatformProcess, HostExecutablePathIsThisProgramUnlessOverridden) {
    char path[1024];
    ASSERT_TRUE(platform::hostExecutablePath(path, sizeof path));
    EXPECT_EQ(std::string(path), std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_FALSE(platform::pathsHaveDrives());

    platform::setHostExecutablePathForTests("/games/x/launcher");
    ASSERT_TRUE(platform::hostExecutablePath(path, sizeof path));
    EXPECT_STREQ(path, "/games/x/launcher");

    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_FALSE(platform::hostExecutablePath(small, 6));
    EXPECT_STREQ(small, "/game");
    EXPECT_EQ(small[6], '#');

    platform::setHostExecutablePathForTests(nullptr);
    ASSERT_TRUE(platform::hostExecutablePath(path, sizeof path));
    EXPECT_NE(std::string(path), "/games/x/launcher");
}

TEST(PlatformProcess, SystemDirectoryComesFromTheEnvironment) {
    char out[256];
    setenv("AUTOUPDATE_SYSTEM_DIR", "/tmp/sys-dir", 1);
    platform::systemDirectory(out, sizeof out);
    EXPECT_STREQ(out, "/tmp/sys-dir");

    char small[5];
    platform::systemDirectory(small, sizeof small);
    EXPECT_STREQ(small, "");

    unsetenv("AUTOUPDATE_SYSTEM_DIR");
    platform::systemDirectory(out, sizeof out);
    EXPECT_STREQ(out, "/usr/local/lib/autoupdate-system");
}

using CompressFn = int (*)(unsigned char*, unsigned long*, const unsigned char*, unsigned long);

TEST(PlatformLibrary, TheZlibDllNameLoadsAWorkingZlib) {
    platform::Library zlib = platform::loadLibrary("ZLIB.dll");
    ASSERT_NE(zlib, nullptr);
    auto compress = reinterpret_cast<CompressFn>(platform::findSymbol(zlib, "compress"));
    auto uncompress = reinterpret_cast<CompressFn>(platform::findSymbol(zlib, "uncompress"));
    ASSERT_NE(compress, nullptr);
    ASSERT_NE(uncompress, nullptr);

    std::string text(5000, 'z');
    text += "/data/a.dat";
    unsigned char packed[8192];
    unsigned long packedLength = sizeof packed;
    ASSERT_EQ(compress(packed, &packedLength, reinterpret_cast<const unsigned char*>(text.data()), text.size()), 0);
    EXPECT_LT(packedLength, text.size());
    unsigned char unpacked[8192];
    unsigned long unpackedLength = sizeof unpacked;
    ASSERT_EQ(uncompress(unpacked, &unpackedLength, packed, packedLength), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(unpacked), unpackedLength), text);

    EXPECT_EQ(platform::findSymbol(zlib, "no_such_function"), nullptr);
    EXPECT_EQ(platform::lastError(), 127u);
    platform::freeLibrary(zlib);

    EXPECT_EQ(platform::loadLibrary("no-such-library.DLL"), nullptr);
    EXPECT_EQ(platform::lastError(), 126u);
}

}  // namespace
