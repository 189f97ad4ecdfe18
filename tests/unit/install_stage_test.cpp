#include "worker/install_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "fake_server.h"
#include "files/md5.h"
#include "net/frames.h"
#include "run/run_state.h"

namespace fs = std::filesystem;

namespace {

using fake::Bytes;
using fake::Message;

std::string md5Of(const std::string& text) {
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    uint8_t digest[16];
    Md5Final(digest, &context);
    char hex[33];
    Md5ToHex(digest, hex);
    return hex;
}

// Serves each serial's bytes in one last chunk and records every request.
void serveBySerial(fake::Server& server, fake::Connection& c,
                   const std::map<uint16_t, std::string>& files) {
    Bytes request;
    while (c.read(&request, kFileRequestSize)) {
        server.record(request);
        auto found = files.find(fake::le16(request, 14));
        if (found == files.end()) {
            c.write(fake::chunk(0, {}));
            continue;
        }
        c.write(fake::chunk(kChunkLast, Bytes(found->second.begin(), found->second.end())));
    }
}

std::vector<uint16_t> serials(const std::vector<Bytes>& requests) {
    std::vector<uint16_t> out;
    for (const Bytes& r : requests) out.push_back(fake::le16(r, 14));
    return out;
}

// The install stage from the decision to the final report, against a fake
// server and a temporary game directory.
class InstallStageTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::snprintf(g_RunState.packageName, sizeof g_RunState.packageName, "pkg");
        std::snprintf(g_RunState.serverPackageName, sizeof g_RunState.serverPackageName, "pkg");
        std::snprintf(g_RunState.systemPackageName, sizeof g_RunState.systemPackageName, "pkgsystem");
        std::snprintf(g_RunState.packageDigest, sizeof g_RunState.packageDigest, "%s",
                      std::string(32, 'f').c_str());
        std::snprintf(g_RunState.systemDir, sizeof g_RunState.systemDir, "%s", (game() / "sys").c_str());
        fs::create_directories(game() / "sys");
        fs::create_directories(game() / "Update");
        put("Update/pkg.upd", "the new list");
        put("pkg.upd", "the last list");
        g_RunState.installOk = 1;
    }

    fs::path game() const { return run.dir(); }
    void put(const std::string& relative, const std::string& text) {
        fs::create_directories((game() / relative).parent_path());
        std::ofstream(game() / relative, std::ios::binary | std::ios::trunc) << text;
    }
    std::string read(const std::string& relative) const { return fake::Run::readFile((game() / relative).string()); }
    bool exists(const std::string& relative) const { return fs::exists(game() / relative); }

    void list(const std::string& path, const std::string& content, int32_t systemFile = 0) {
        UpdateListEntry& entry = g_RunState.newList[g_RunState.newCount++];
        std::memset(static_cast<void*>(&entry), 0, sizeof entry);
        std::snprintf(entry.path, sizeof entry.path, "%s", path.c_str());
        std::snprintf(entry.md5, sizeof entry.md5, "%s", md5Of(content).c_str());
        entry.size = static_cast<int32_t>(content.size());
        entry.systemFile = systemFile;
        entry.needsDownload = true;
    }

    std::vector<Message> statuses(uintptr_t wParam) const {
        std::vector<Message> out;
        for (const Message& m : fake::messages()) {
            if (m.msg == AU_MSG_STATUS && m.wParam == wParam) out.push_back(m);
        }
        return out;
    }
    intptr_t finalReport() const {
        std::vector<Message> finals = statuses(AU_STATUS_FINAL);
        EXPECT_EQ(1u, finals.size());
        return finals.empty() ? -1 : finals.back().lParam;
    }
    uintptr_t tableRows() const {
        for (const Message& m : fake::messages()) {
            if (m.msg == AU_MSG_FILE_TABLE) return m.wParam;
        }
        return 9999;
    }

    fake::Run run;
};

TEST_F(InstallStageTest, FetchedFileWithAnotherDigestFailsItsTransferAndNothingIsPromoted) {
    list("/good.txt", "good");
    list("/bad.txt", "as listed");
    fake::Server server([&](fake::Connection& c) {
        serveBySerial(server, c, {{1, "good"}, {2, "as LISTED"}});
    });
    fake::Run::connectTo(server.port());

    runInstallStage(nullptr);

    std::vector<Message> errors = statuses(AU_STATUS_ERROR);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(AU_ERR_TRANSFER, errors[0].lParam);
    EXPECT_EQ(1u, statuses(AU_STATUS_FILE_DONE).size()) << "the bad file is never reported as fetched";
    EXPECT_EQ(0, finalReport());
    EXPECT_NE(std::string::npos, run.log().find("pkg\\bad.txt校验失败,应为" + md5Of("as listed") + ",实为" +
                                                md5Of("as LISTED")))
        << run.log();
    EXPECT_FALSE(exists("Update/pkg/bad.txt"));
    EXPECT_EQ("good", read("Update/pkg/good.txt")) << "a checked file stays staged for the next run";
    EXPECT_FALSE(exists("good.txt"));
    EXPECT_EQ("the last list", read("pkg.upd"));
    EXPECT_FALSE(exists("pkgMd5.ini"));
}

TEST_F(InstallStageTest, StagedCopyIsInstalledWithoutATransferAndTheListPromoted) {
    list("/staged.txt", "staged earlier");
    list("/fresh.txt", "fresh");
    list("/lib.dll", "system file", 1);
    put("Update/pkg/staged.txt", "staged earlier");
    // The last update had other files: this is not a first run.
    g_RunState.installedList[0] = g_RunState.newList[0];
    std::snprintf(g_RunState.installedList[0].md5, sizeof g_RunState.installedList[0].md5, "%s",
                  md5Of("older").c_str());
    g_RunState.installedCount = 1;
    fake::Server server([&](fake::Connection& c) {
        serveBySerial(server, c, {{2, "fresh"}, {3, "system file"}});
    });
    fake::Run::connectTo(server.port());

    runInstallStage(nullptr);

    EXPECT_EQ(1, finalReport());
    EXPECT_EQ(2u, tableRows());
    EXPECT_EQ((std::vector<uint16_t>{2, 3}), serials(server.requests()));
    EXPECT_NE(std::string::npos, run.log().find("/staged.txt已在暂存目录中,不再下载")) << run.log();
    EXPECT_EQ("staged earlier", read("staged.txt"));
    EXPECT_EQ("fresh", read("fresh.txt"));
    EXPECT_EQ("system file", read("sys/lib.dll"));
    EXPECT_EQ("the new list", read("pkg.upd"));
    EXPECT_FALSE(exists("Update/pkg.upd"));
    EXPECT_NE(std::string::npos, read("pkgMd5.ini").find("MD5=" + std::string(32, 'f')));
}

TEST_F(InstallStageTest, FetchedRecordThatIsNotInstalledLeavesTheRunIncomplete) {
    // Both records are fetched into one staged file; the second transfer
    // overwrites the first, so the first record cannot be installed.
    list("/twice.txt", "first text");
    list("/twice.txt", "second text");
    fake::Server server([&](fake::Connection& c) {
        serveBySerial(server, c, {{1, "first text"}, {2, "second text"}});
    });
    fake::Run::connectTo(server.port());

    runInstallStage(nullptr);

    EXPECT_TRUE(statuses(AU_STATUS_ERROR).empty());
    EXPECT_EQ(0, finalReport());
    EXPECT_NE(std::string::npos, run.log().find("/twice.txt没有安装到位")) << run.log();
    EXPECT_NE(std::string::npos, run.log().find("下载未完成"));
    EXPECT_EQ("second text", read("twice.txt"));
    EXPECT_EQ("the last list", read("pkg.upd"));
    EXPECT_TRUE(exists("Update/pkg.upd"));
    EXPECT_FALSE(exists("pkgMd5.ini"));
}

TEST_F(InstallStageTest, SystemFilesWithoutASystemDirectoryEndTheRunBeforeAnyRequest) {
    list("/plain.txt", "plain");
    list("/lib.dll", "system file", 1);
    g_RunState.systemDir[0] = '\0';
    fake::Server server([&](fake::Connection& c) { serveBySerial(server, c, {{1, "plain"}}); });
    fake::Run::connectTo(server.port());

    runInstallStage(nullptr);

    ASSERT_EQ(1u, fake::messages().size());
    EXPECT_EQ((Message{AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_NO_SYSTEM_DIR, 0}), fake::messages()[0]);
    EXPECT_EQ(1, g_RunState.workerFinished);
    EXPECT_NE(std::string::npos, run.log().find("没有可用的系统目录,无法安装系统文件/lib.dll"));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_FALSE(exists("plain.txt"));

    // Without system files the same directory is no obstacle.
    fake::messages().clear();
    g_RunState.workerFinished = 0;
    g_RunState.newCount = 1;
    g_RunState.newList[0].needsDownload = true;
    runInstallStage(nullptr);
    EXPECT_EQ(1, finalReport());
    EXPECT_EQ("plain", read("plain.txt"));
}

}  // namespace
