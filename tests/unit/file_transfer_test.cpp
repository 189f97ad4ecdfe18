#include "net/file_transfer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <fstream>
#include <string>

#include "fake_server.h"
#include "net/frames.h"
#include "net/receive_limit.h"
#include "run/run_state.h"

namespace {

using fake::Bytes;
using fake::Message;

const Message kFileDone{AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0, 0};
const Message kTransferFailed{AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_TRANSFER, 0};

Bytes pattern(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    return out;
}

// Answers file requests from content, payloadPerChunk bytes at a time; hangs
// up instead of answering request number hangUpAt (counted from 1).
void serveFile(fake::Server& server, fake::Connection& c, const Bytes& content,
               std::size_t payloadPerChunk, int hangUpAt = 0) {
    Bytes request;
    for (int n = 1; c.read(&request, kFileRequestSize); ++n) {
        server.record(request);
        if (n == hangUpAt) return;
        std::size_t offset = std::min<std::size_t>(fake::le32(request, 16), content.size());
        std::size_t end = std::min(offset + payloadPerChunk, content.size());
        Bytes payload(content.begin() + offset, content.begin() + end);
        c.write(fake::chunk(end == content.size() ? kChunkLast : 1, payload));
    }
}

std::vector<uint32_t> offsets(const std::vector<Bytes>& requests) {
    std::vector<uint32_t> out;
    for (const Bytes& r : requests) out.push_back(fake::le32(r, 16));
    return out;
}

class DownloadFile : public ::testing::Test {
protected:
    fake::Run run;

    std::string file(const std::string& relative) const {
        return fake::Run::readFile(run.dir() + "/" + relative);
    }
    bool exists(const std::string& relative) const {
        struct stat info;
        return ::stat((run.dir() + "/" + relative).c_str(), &info) == 0;
    }
};

TEST_F(DownloadFile, SingleEmptyLastChunkGivesAnEmptyFile) {
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, {}, 100); });
    fake::Run::connectTo(server.port());
    g_RunState.packageFileId = 0x0102;

    downloadFile("pkg.cms", "pkg.cms", "\\Update\\", 0x10005);

    EXPECT_EQ(fake::messages(), std::vector<Message>{kFileDone});
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_TRUE(exists("Update/pkg.cms"));
    EXPECT_EQ(file("Update/pkg.cms"), "");
    ASSERT_EQ(server.requests().size(), 1u);
    uint8_t expected[kFileRequestSize];
    buildFileRequest(expected, 0x0102, 0x0005, 0);  // serial keeps its low 16 bits
    EXPECT_EQ(server.requests()[0], Bytes(expected, expected + kFileRequestSize));
    EXPECT_EQ(fake::count(run.log(), "下载upd文件：" + run.dir() + "\\Update,序列号65541,文件名:pkg.cms\r\n"), 1)
        << run.log();
    EXPECT_EQ(fake::count(run.log(), "一个文件接收完毕"), 1);
}

TEST_F(DownloadFile, FullChunksAdvanceTheOffsetByTheirPayload) {
    Bytes content = pattern(3 * 4096 + 100);
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, content, 4096); });
    fake::Run::connectTo(server.port());
    g_RunState.sendnow = 10;

    downloadFile("remote", "pkg.cms", "\\Update\\", 0);

    EXPECT_EQ(offsets(server.requests()), (std::vector<uint32_t>{0, 4096, 8192, 12288}));
    EXPECT_EQ(file("Update/pkg.cms"), std::string(content.begin(), content.end()));
    // wei is 0 while the package comes: bytes count, but no progress.
    EXPECT_EQ(g_RunState.sendnow, static_cast<int32_t>(10 + content.size()));
    EXPECT_EQ(fake::messages(), std::vector<Message>{kFileDone});
    EXPECT_EQ(fake::count(run.log(), "sedmax wei :0, 0 sendnow :4106,4106消息发送完毕,filehead.buffsize:4097"), 1)
        << run.log();
    EXPECT_EQ(fake::count(run.log(), "sedmax wei : 0 sendnow :12398"), 1);
}

TEST_F(DownloadFile, ProgressIsReportedInFiveThousandths) {
    Bytes content = pattern(1500);
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, content, 1000); });
    fake::Run::connectTo(server.port());
    g_RunState.wei = 3000;

    downloadFile("a.dat", "a.dat", "Update\\", 1);

    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_PROGRESS, 5000, 1666, 1},
                                                      {AU_MSG_BYTES, 3000, 1000, 1},
                                                      {AU_MSG_PROGRESS, 5000, 2500, 1},
                                                      {AU_MSG_BYTES, 3000, 1500, 1},
                                                      kFileDone}));
    EXPECT_EQ(g_RunState.inNotify, 0);
    EXPECT_EQ(fake::count(run.log(), "sedmax wei :5000, 3000 sendnow :1666,1000消息发送完毕,filehead.buffsize:1001"),
              1)
        << run.log();
}

TEST_F(DownloadFile, CreatesEveryDirectoryOnTheWay) {
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(10), 100); });
    fake::Run::connectTo(server.port());

    downloadFile("a/b/c.dat", "a\\b\\c.dat", "\\Update\\", 3);

    EXPECT_EQ(fake::messages(), std::vector<Message>{kFileDone});
    EXPECT_EQ(file("Update/a/b/c.dat").size(), 10u);
    EXPECT_FALSE(exists("Update/a/b/c.dat/"));
    EXPECT_EQ(fake::count(run.log(), "下载upd文件：" + run.dir() + "\\Update\\a\\b,序列号3,文件名:a/b/c.dat"), 1)
        << run.log();
}

TEST_F(DownloadFile, AfterAFailedTransferTheNextOneFailsOnItsFirstReply) {
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(5000), 1000); });
    fake::Run::connectTo(server.port());
    {
        std::FILE* old = std::fopen((run.dir() + "/old.dat").c_str(), "wb");
        std::fputs("previous content", old);
        std::fclose(old);
    }
    g_RunState.runFailed = 1;

    downloadFile("old.dat", "old.dat", "", 2);

    EXPECT_EQ(fake::messages(), std::vector<Message>{kTransferFailed});
    EXPECT_EQ(file("old.dat"), "");
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(g_RunState.sendnow, 0);
}

TEST_F(DownloadFile, LostServerIsReplacedAndTheChunkAskedForAgain) {
    Bytes content = pattern(2500);
    fake::Server lost([&](fake::Connection& c) { serveFile(lost, c, content, 1000, 2); });
    fake::Server spare([&](fake::Connection& c) { serveFile(spare, c, content, 1000); });
    fake::Run::addServer("127.0.0.1", lost.port(), 1);
    fake::Run::addServer("127.0.0.1", spare.port());
    fake::Run::connectTo(lost.port());

    downloadFile("big.dat", "big.dat", "Update\\", 4);

    EXPECT_EQ(file("Update/big.dat"), std::string(content.begin(), content.end()));
    EXPECT_EQ(offsets(lost.requests()), (std::vector<uint32_t>{0, 1000}));
    EXPECT_EQ(offsets(spare.requests()), (std::vector<uint32_t>{1000, 2000}));
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_STATUS, AU_STATUS_CONNECTING, 1, 1}, kFileDone}));
    EXPECT_EQ(fake::count(run.log(), "rcv SOCKET_ERROR了"), 1);
    EXPECT_EQ(g_RunState.sendnow, 2500);
}

TEST_F(DownloadFile, StagedBytesAreResumedAndOnesOfAnotherBuildFetchedAgainOnce) {
    const Bytes content = pattern(2500);
    const std::string md5 = fake::md5Hex(content);
    const struct {
        std::string staged;
        std::vector<uint32_t> offsets;
    } rows[] = {
        {std::string(content.begin(), content.begin() + 1200), {1200, 2200}},
        // Same length, other bytes: the whole file fails its digest and comes again.
        {std::string(1200, 'x'), {1200, 2200, 0, 1000, 2000}},
    };
    for (const auto& row : rows) {
        fake::Server server([&](fake::Connection& c) { serveFile(server, c, content, 1000); });
        fake::Run::connectTo(server.port());
        ::mkdir((run.dir() + "/Update").c_str(), 0755);
        std::ofstream(run.dir() + "/Update/part.dat", std::ios::binary) << row.staged;
        g_RunState.sendnow = 0;
        g_RunState.runFailed = 0;

        const uint32_t resumeAt = resumableBytes("part.dat", "Update\\", 2500);
        EXPECT_EQ(resumeAt, 1200u);
        downloadFile("part.dat", "part.dat", "Update\\", 4, 2500, md5.c_str(), resumeAt);

        EXPECT_EQ(file("Update/part.dat"), std::string(content.begin(), content.end()));
        EXPECT_EQ(offsets(server.requests()), row.offsets);
        EXPECT_EQ(g_RunState.sendnow, 2500);
        EXPECT_EQ(g_RunState.runFailed, 0);
        EXPECT_EQ(fake::count(run.log(), "part.dat从第1200字节续传"), &row - rows + 1);
        platform::closeSocket(g_Socket);
        g_Socket = 0;
    }
    EXPECT_EQ(resumableBytes("part.dat", "Update\\", 2500), 0u) << "a whole file is no part";
}

// A stop while the writer still holds digested bytes, a batch half filled
// among them: the file does not count, every byte received reaches the disk
// and stays staged, and the next transfer digests it again from the disk.
TEST_F(DownloadFile, StopWhileWritesAreBehindLeavesAResumablePart) {
    const Bytes content = pattern(600 * 1024);
    const std::string md5 = fake::md5Hex(content);
    {
        fake::Server server([&](fake::Connection& c) {
            Bytes request;
            for (int n = 1; c.read(&request, kFileRequestSize); ++n) {
                const std::size_t offset = fake::le32(request, 16);
                if (n == 31) g_RunState.stopRequested = 1;
                c.write(fake::chunk(1, Bytes(content.begin() + offset, content.begin() + offset + 10000)));
            }
        });
        fake::Run::connectTo(server.port());
        downloadFile("big.dat", "big.dat", "Update\\", 2, 600 * 1024, md5.c_str(), 0);
        EXPECT_EQ(std::count(fake::messages().begin(), fake::messages().end(), kFileDone), 0);
        EXPECT_EQ(g_RunState.runFailed, 1);
        platform::closeSocket(g_Socket);
        g_Socket = 0;
    }
    EXPECT_TRUE(file("Update/big.dat") == std::string(content.begin(), content.begin() + 30 * 10000)) << run.log();
    g_RunState.stopRequested = 0;
    g_RunState.runFailed = 0;
    g_RunState.sendnow = 0;
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, content, 10000); });
    fake::Run::connectTo(server.port());
    const uint32_t resumeAt = resumableBytes("big.dat", "Update\\", 600 * 1024);
    EXPECT_EQ(resumeAt, 30u * 10000);
    downloadFile("big.dat", "big.dat", "Update\\", 2, 600 * 1024, md5.c_str(), resumeAt);
    EXPECT_EQ(fake::messages().back(), kFileDone);
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_EQ(server.requests().size(), 32u);
}

TEST_F(DownloadFile, FailedSendReconnectsBeforeTheFirstChunk) {
    Bytes content = pattern(300);
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, content, 1000); });
    fake::Run::addServer("127.0.0.1", server.port());
    g_Socket = 0;  // closed by a failed read of the previous transfer

    downloadFile("y.dat", "y.dat", "", 5);

    EXPECT_EQ(file("y.dat"), std::string(content.begin(), content.end()));
    EXPECT_EQ(fake::count(run.log(), "send SOCKET_ERROR了"), 1);
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_STATUS, AU_STATUS_CONNECTING, 1, 1}, kFileDone}));
}

TEST_F(DownloadFile, RefusedChunkFailsTheTransfer) {
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        if (c.read(&request, kFileRequestSize)) c.write(fake::chunk(kChunkRefused, {1, 2, 3}));
        c.clientClosed();
    });
    fake::Run::connectTo(server.port());
    downloadFile("x", "x.dat", "", 9);
    EXPECT_EQ(fake::messages(), std::vector<Message>{kTransferFailed});
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_EQ(file("x.dat"), "");
}

TEST_F(DownloadFile, ChunkWithoutFlagIsDroppedLikeAFailedRead) {
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        if (c.read(&request, kFileRequestSize)) c.write(fake::frame({}));
        c.clientClosed();
    });
    fake::Run::connectTo(server.port());
    downloadFile("x", "x.dat", "", 9);
    EXPECT_EQ(g_Socket, 0u);
    EXPECT_EQ(fake::messages(), std::vector<Message>{kTransferFailed});
    EXPECT_EQ(fake::count(run.log(), "rcv SOCKET_ERROR了"), 1);
    EXPECT_EQ(g_RunState.sendnow, 0);
}

TEST_F(DownloadFile, StopBeforeTheRequestEndsQuietly) {
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(10), 100); });
    fake::Run::connectTo(server.port());
    g_RunState.stopRequested = 1;
    downloadFile("x", "x.dat", "", 1);
    EXPECT_TRUE(fake::messages().empty());
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_TRUE(exists("x.dat"));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DownloadFile, TargetThatCannotBeOpenedFailsWithoutARequest) {
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(10), 100); });
    fake::Run::connectTo(server.port());
    ASSERT_EQ(::mkdir((run.dir() + "/taken").c_str(), 0755), 0);
    downloadFile("x", "taken", "", 1);
    EXPECT_EQ(fake::messages(), std::vector<Message>{kTransferFailed});
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_EQ(fake::count(run.log(), "下载upd文件："), 1);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DownloadFile, OverlongTargetPathIsRefused) {
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(10), 100); });
    fake::Run::connectTo(server.port());
    // gameDir + "\" + "Update\" + "\" + name: exactly 255 bytes is still fine.
    std::size_t room = 255 - std::strlen(g_RunState.gameDir) - std::strlen("\\Update\\\\");
    std::string name(room, 'f');
    downloadFile("x", name.c_str(), "Update\\", 1);
    EXPECT_EQ(fake::messages(), std::vector<Message>{kFileDone});
    EXPECT_TRUE(exists("Update/" + name));

    fake::messages().clear();
    std::string longer = name + "g";
    downloadFile("x", longer.c_str(), "Update\\", 1);
    EXPECT_EQ(fake::messages(), std::vector<Message>{kTransferFailed});
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_FALSE(exists("Update/" + longer));
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(DownloadFile, FailedWriteFailsTheTransfer) {
    for (std::size_t size : {std::size_t{10}, std::size_t{9000}}) {
        SCOPED_TRACE(size);
        fake::messages().clear();
        g_RunState.runFailed = 0;
        fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(size), 9000); });
        fake::Run::connectTo(server.port());
        // A device that refuses every write as a full disk does: the transfer
        // fails with the full disk's error, after what it still needed.
        std::snprintf(g_RunState.gameDir, sizeof g_RunState.gameDir, "/dev");
        downloadFile("x", "full", "", 1);
        std::vector<uintptr_t> kinds;
        for (const Message& m : fake::messages()) kinds.push_back(m.wParam);
        EXPECT_EQ(kinds, (std::vector<uintptr_t>{AU_STATUS_DISK_NEEDED, AU_STATUS_DISK_FREE, AU_STATUS_DISK_FOLDER,
                                                  AU_STATUS_ERROR}));
        EXPECT_EQ(fake::messages().back().lParam, AU_ERR_DISK_FULL);
        EXPECT_EQ(g_RunState.runFailed, 1);
        platform::closeSocket(g_Socket);
        g_Socket = 0;
    }
}

// A server that never ends the file: every request gets a full chunk with
// "more follows".
void serveForever(fake::Server& server, fake::Connection& c, std::size_t payloadPerChunk) {
    Bytes request;
    while (c.read(&request, kFileRequestSize)) {
        server.record(request);
        c.write(fake::chunk(1, pattern(payloadPerChunk)));
    }
}

TEST_F(DownloadFile, FileLongerThanListedFailsBeforeTheExcessReachesTheDisk) {
    fake::Server server([&](fake::Connection& c) { serveForever(server, c, 1000); });
    fake::Run::connectTo(server.port());
    g_RunState.wei = 100000;

    downloadFile("a.dat", "a.dat", "", 1, 2500);

    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_EQ(fake::messages().back(), kTransferFailed);
    EXPECT_EQ(offsets(server.requests()), (std::vector<uint32_t>{0, 1000, 2000}));
    EXPECT_EQ(file("a.dat").size(), 2000u);
    // The refused chunk is neither counted nor reported.
    EXPECT_EQ(g_RunState.sendnow, 2000);
    EXPECT_EQ(fake::count(run.log(), "收到的数据超过文件大小2500"), 1) << run.log();
}

TEST_F(DownloadFile, FileOfExactlyItsListedSizeIsAccepted) {
    for (uint32_t listed : {0u, 2500u}) {
        SCOPED_TRACE(listed);
        fake::messages().clear();
        fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(listed), 1000); });
        fake::Run::connectTo(server.port());
        downloadFile("a.dat", "a.dat", "", 1, listed);
        EXPECT_EQ(fake::messages(), std::vector<Message>{kFileDone});
        EXPECT_EQ(file("a.dat").size(), listed);
        EXPECT_EQ(g_RunState.runFailed, 0);
        platform::closeSocket(g_Socket);
        g_Socket = 0;
    }
}

TEST_F(DownloadFile, PackageLimitHoldsWithoutAListedSize) {
    fake::Server server([&](fake::Connection& c) { serveForever(server, c, kMaxReplyBody - 1); });
    fake::Run::connectTo(server.port());

    downloadFile("pkg.cms", "pkg.cms", "\\Update\\", 0);

    EXPECT_EQ(fake::messages(), std::vector<Message>{kTransferFailed});
    std::size_t chunks = kPackageSizeLimit / (kMaxReplyBody - 1);
    EXPECT_EQ(server.requests().size(), chunks + 1);
    EXPECT_EQ(file("Update/pkg.cms").size(), chunks * (kMaxReplyBody - 1));
}

TEST_F(DownloadFile, EmptyChunksThatPromiseMoreAreBounded) {
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        while (c.read(&request, kFileRequestSize)) {
            server.record(request);
            c.write(fake::chunk(1, {}));
        }
    });
    fake::Run::connectTo(server.port());

    downloadFile("a.dat", "a.dat", "", 1, 1000);

    EXPECT_EQ(fake::messages(), std::vector<Message>{kTransferFailed});
    EXPECT_EQ(server.requests().size(), 40u);
    EXPECT_EQ(fake::count(run.log(), "连续40个空数据块"), 1) << run.log();
}

TEST_F(DownloadFile, EmptyChunksBetweenRealOnesDoNotAddUp) {
    // 39 empty replies before every real chunk: never 40 in a row.
    Bytes content = pattern(300);
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        for (int n = 0; c.read(&request, kFileRequestSize); ++n) {
            uint32_t offset = fake::le32(request, 16);
            if (n % 40 < 39) {
                c.write(fake::chunk(1, {}));
                continue;
            }
            Bytes piece(content.begin() + offset, content.begin() + offset + 100);
            c.write(fake::chunk(offset + 100 == content.size() ? kChunkLast : 1, piece));
        }
    });
    fake::Run::connectTo(server.port());

    downloadFile("a.dat", "a.dat", "", 1, 300);

    EXPECT_EQ(fake::messages(), std::vector<Message>{kFileDone});
    EXPECT_EQ(file("a.dat"), std::string(content.begin(), content.end()));
}

TEST_F(DownloadFile, CountsPastTwoGibibytesStayUnsignedAndProgressMonotone) {
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(3000), 1000); });
    fake::Run::connectTo(server.port());
    const uint32_t start = 0x7FFFFFFFu - 1500;
    g_RunState.sendnow = static_cast<int32_t>(start);
    g_RunState.wei = static_cast<int32_t>(0xFFFFFFFFu);

    downloadFile("big.dat", "big.dat", "", 1, 3000);

    const uintptr_t wei = 0xFFFFFFFFu;
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_PROGRESS, 5000, 2499, 1},
                                                      {AU_MSG_BYTES, wei, 2147483147, 1},
                                                      {AU_MSG_PROGRESS, 5000, 2500, 1},
                                                      {AU_MSG_BYTES, wei, 2147484147, 1},
                                                      {AU_MSG_PROGRESS, 5000, 2500, 1},
                                                      {AU_MSG_BYTES, wei, 2147485147, 1},
                                                      kFileDone}));
    EXPECT_EQ(static_cast<uint32_t>(g_RunState.sendnow), start + 3000);
    EXPECT_EQ(fake::count(run.log(), "sedmax wei : 4294967295 sendnow :2147485147"), 1) << run.log();
    EXPECT_EQ(fake::count(run.log(), "sedmax wei :5000, 4294967295 sendnow :2500,2147484147消息发送完毕"), 1);
}

TEST_F(DownloadFile, ProgressNeverPassesTheWhole) {
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, pattern(1500), 1000); });
    fake::Run::connectTo(server.port());
    g_RunState.wei = 1000;

    downloadFile("a.dat", "a.dat", "", 1, 1500);

    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_PROGRESS, 5000, 5000, 1},
                                                      {AU_MSG_BYTES, 1000, 1000, 1},
                                                      {AU_MSG_PROGRESS, 5000, 5000, 1},
                                                      {AU_MSG_BYTES, 1000, 1500, 1},
                                                      kFileDone}));
}

TEST(SpeedReports, ReportAcrossTwoGibibytes) {
    fake::Run run;
    g_RunState.sendnow = 0x7FFFF000;
    fake::tick() = 100;
    startSpeedReports();
    g_RunState.sendnow = static_cast<int32_t>(0x80001000u);
    fake::tick() = 1200;
    reportSpeed();
    g_RunState.sendnow = static_cast<int32_t>(0xFFFFFC00u);
    fake::tick() = 2300;
    reportSpeed();
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_STATUS, AU_STATUS_SPEED, 8, 0},
                                                      {AU_MSG_STATUS, AU_STATUS_SPEED, 2097147, 0}}));
}

TEST(SpeedReports, ReportWholeKibibytesAtMostOncePerSecond) {
    fake::Run run;
    g_RunState.sendnow = 5000;
    fake::tick() = 50000;
    reportSpeed();  // reports are off until started
    EXPECT_TRUE(fake::messages().empty());

    fake::tick() = 100;
    startSpeedReports();
    g_RunState.sendnow = 5000 + 3000;
    fake::tick() = 1100;
    reportSpeed();
    EXPECT_TRUE(fake::messages().empty());

    fake::tick() = 1101;
    reportSpeed();
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_STATUS, AU_STATUS_SPEED, 2, 0}}));

    // The clock wraps; the interval is still measured.
    g_RunState.sendnow += 1023;
    g_RunState.speedTick = 0xFFFFFF00u;
    fake::tick() = 0x000002F0u;
    reportSpeed();
    EXPECT_EQ(fake::messages().back(), (Message{AU_MSG_STATUS, AU_STATUS_SPEED, 0, 0}));
    EXPECT_EQ(g_RunState.speedBytes, g_RunState.sendnow);
}

TEST(SpeedReports, ChunksTriggerReports) {
    fake::Run run;
    Bytes content = pattern(3 * 2048);
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, content, 2048); });
    fake::Run::connectTo(server.port());
    startSpeedReports();
    fake::tick() = 5000;
    downloadFile("x", "x.dat", "", 1);
    // The first chunk reports its 2 KiB; the others come within the same tick.
    EXPECT_EQ(fake::messages(), (std::vector<Message>{{AU_MSG_STATUS, AU_STATUS_SPEED, 2, 0}, kFileDone}));
}

// A clock that moves only by the sleeps, which are recorded; a stop comes
// with sleep number g_stopAt.
std::atomic<uint32_t> g_capNow{0};
std::vector<uint32_t> g_capSleeps;
std::size_t g_stopAt = 0;
const platform::ClockHooks kSleepMovesTheClock{[] { return g_capNow.load(); }, [](uint32_t ms) {
    g_capSleeps.push_back(ms);
    g_capNow += ms;
    if (g_capSleeps.size() == g_stopAt) g_RunState.stopRequested = 1;
}};

TEST(ReceiveCap, HoldsATransferToTheCapInShortStepsAndLetsAStopThrough) {
    fake::Run run;
    platform::setClockForTests(&kSleepMovesTheClock);
    startReceiveLimit(100);
    Bytes content = pattern(50 * 1024);
    fake::Server server([&](fake::Connection& c) { serveFile(server, c, content, 2048); });
    fake::Run::connectTo(server.port());
    downloadFile("x", "x.dat", "", 1);
    EXPECT_EQ(fake::messages().back(), kFileDone);
    // 25 frames of 2051 bytes at 100 KiB/s: 501 ms, in steps of at most 50 ms.
    EXPECT_LE(*std::max_element(g_capSleeps.begin(), g_capSleeps.end()), 50u);
    EXPECT_NEAR(std::accumulate(g_capSleeps.begin(), g_capSleeps.end(), 0u), 510u, 10u);

    g_capSleeps.clear();
    g_stopAt = 3;
    startReceiveLimit(1);  // raised to the floor
    EXPECT_FALSE(paceReceived(kReceiveLimitFloorKiB * 1024));
    EXPECT_EQ(g_capSleeps, (std::vector<uint32_t>{50, 50, 50}));
    startReceiveLimit(0);
    EXPECT_TRUE(paceReceived(1u << 30));
    EXPECT_EQ(g_capSleeps.size(), 3u);
}

}  // namespace
