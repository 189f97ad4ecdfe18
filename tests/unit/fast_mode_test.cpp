#include "net/fast_mode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "block_sums_cases.h"
#include "fake_server.h"
#include "net/file_transfer.h"
#include "net/deflated_reply.h"
#include "net/frames.h"
#include "net/http_mirrors.h"
#include "net/known_fast_servers.h"
#include "net/server_link.h"
#include "run/run_state.h"
#include "worker/patch_plans.h"

namespace {

using fake::Bytes;
using fake::Message;

const Message kFileDone{AU_MSG_STATUS, AU_STATUS_FILE_DONE, 0, 0};
const Message kTransferFailed{AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_TRANSFER, 0};
constexpr std::size_t kBaseChunk = 700;

Bytes pattern(std::size_t size, uint8_t seed) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>((i * 13 + seed + i / 253) & 0xFF);
    return out;
}

// A package reply with the offer block; extra bytes after it as a later
// version might send.
Bytes offerReply(uint16_t version, uint16_t maxChunk, uint16_t window, const char* magic = "AUFM",
                 std::size_t extra = 0) {
    Bytes out(124 + extra, 0);
    fake::putLe16(out, 0, static_cast<uint16_t>(out.size() - 2));
    fake::putLe16(out, 112, 7);
    std::memcpy(out.data() + 114, magic, 4);
    fake::putLe16(out, 118, version);
    fake::putLe16(out, 120, maxChunk);
    fake::putLe16(out, 122, window);
    return out;
}

// A version-2 offer: the four fields, then the build's list digest.
Bytes buildOffer(uint8_t build, uint16_t maxChunk = 1000, uint16_t id = 7) {
    Bytes out = offerReply(2, maxChunk, 16, "AUFM", 16);
    fake::putLe16(out, 112, id);
    std::fill(out.begin() + 124, out.end(), build);
    return out;
}

void loadReply(const Bytes& reply) {
    std::memset(g_RunState.receiveBuffer, 0, sizeof g_RunState.receiveBuffer);
    std::memcpy(g_RunState.receiveBuffer, reply.data(), reply.size());
    resetFastPipeline();
    takeFastOffer();
}

struct Request {
    uint16_t serial;
    uint32_t offset;
    uint32_t wanted;
    bool operator==(const Request& o) const {
        return serial == o.serial && offset == o.offset && wanted == o.wanted;
    }
};

std::ostream& operator<<(std::ostream& out, const Request& r) {
    return out << "{" << r.serial << "," << r.offset << "," << r.wanted << "}";
}

std::vector<Request> parsed(const std::vector<Bytes>& requests) {
    std::vector<Request> out;
    for (const Bytes& r : requests) out.push_back({fake::le16(r, 14), fake::le32(r, 16), fake::le32(r, 8)});
    return out;
}

// The reply our server gives: the size asked for at offset 8 (never more
// than cap), or its own chunk when that is 0.
Bytes answer(const std::map<uint16_t, Bytes>& files, const Bytes& request, std::size_t cap = 65534) {
    auto found = files.find(fake::le16(request, 14));
    const uint32_t offset = fake::le32(request, 16);
    if (found == files.end() || offset > found->second.size()) return fake::chunk(kChunkRefused, {});
    const Bytes& content = found->second;
    const uint32_t wanted = fake::le32(request, 8) & ~kFastWantDeflated;
    const std::size_t size = std::min<std::size_t>(wanted ? wanted : kBaseChunk, cap);
    const std::size_t end = std::min<std::size_t>(offset + size, content.size());
    return fake::chunk(end == content.size() ? kChunkLast : 1, Bytes(content.begin() + offset, content.begin() + end));
}

// Answers each request as it comes.
void serve(fake::Server& server, fake::Connection& c, const std::map<uint16_t, Bytes>& files,
           std::size_t cap = 65534) {
    Bytes request;
    while (c.read(&request, kFileRequestSize)) {
        server.record(request);
        c.write(answer(files, request, cap));
    }
}

class FastMode : public ::testing::Test {
protected:
    fake::Run run;

    std::string file(const std::string& relative) const {
        return fake::Run::readFile(run.dir() + "/" + relative);
    }
    static std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

    static void plan(std::initializer_list<PlannedTransfer> files) {
        std::vector<PlannedTransfer> list(files);
        planTransfers(list.data(), list.size());
    }
    static int pauses(uint32_t ms) {
        return static_cast<int>(std::count(fake::sleeps().begin(), fake::sleeps().end(), ms));
    }
};

TEST_F(FastMode, OfferIsTakenOnlyWhenWhole) {
    loadReply(offerReply(1, 30000, 64));
    EXPECT_EQ(g_RunState.fastMode, 1);
    EXPECT_EQ(fastChunkPayload(), 30000u);
    EXPECT_EQ(fastWindow(), kFastMaxWindow);  // the client's own bound

    loadReply(offerReply(3, 65534, 2, "AUFM", 20));  // a later version keeps the fields
    EXPECT_EQ(g_RunState.fastMode, 1);
    EXPECT_EQ(fastChunkPayload(), 65534u);
    EXPECT_EQ(fastWindow(), 2u);

    Bytes cut = offerReply(1, 30000, 4);
    fake::putLe16(cut, 0, 112);  // a base reply, whatever the buffer holds beyond it
    const std::vector<std::pair<const char*, Bytes>> refused = {
        {"base reply", fake::packageReply(7)},
        {"block beyond buffsize", cut},
        {"wrong magic", offerReply(1, 30000, 4, "AUFX")},
        {"version 0", offerReply(0, 30000, 4)},
        {"chunk 0", offerReply(1, 0, 4)},
        {"chunk over 65534", offerReply(1, 65535, 4)},
        {"window 0", offerReply(1, 30000, 0)},
    };
    for (const auto& [what, reply] : refused) {
        loadReply(offerReply(1, 30000, 4));
        loadReply(reply);
        EXPECT_EQ(g_RunState.fastMode, 0) << what;
    }
}

TEST_F(FastMode, RequestsGoOutAheadAcrossFilesAndEveryFileArrivesWhole) {
    const std::map<uint16_t, Bytes> files = {{1, pattern(2500, 1)}, {3, pattern(1000, 2)}, {4, {}}};
    std::vector<Request> seenBeforeFirstReply;
    // Answers nothing until every request of the three files is in: a client
    // that waits for each reply before the next request never gets one.
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        std::vector<Bytes> early;
        while (early.size() < 5 && c.readWithin(&request, kFileRequestSize, 5000)) {
            server.record(request);
            early.push_back(request);
        }
        seenBeforeFirstReply = parsed(early);
        for (const Bytes& r : early) c.write(answer(files, r));
        serve(server, c, files);
    });
    fake::Run::connectTo(server.port());
    loadReply(offerReply(1, 1000, 8));
    plan({{1, 2500}, {3, 1000}, {4, 0}});
    g_RunState.wei = 3500;

    for (uint16_t serial : {1, 3, 4}) {
        downloadFile("remote", ("f" + std::to_string(serial)).c_str(), "Update\\", serial);
    }

    ASSERT_TRUE(server.waitAccepted(1));
    EXPECT_EQ(seenBeforeFirstReply,
              (std::vector<Request>{{1, 0, 1000}, {1, 1000, 1000}, {1, 2000, 1000}, {3, 0, 1000}, {4, 0, 1000}}));
    EXPECT_EQ(server.requests().size(), 5u);
    for (uint16_t serial : {1, 3, 4}) EXPECT_EQ(file("Update/f" + std::to_string(serial)), text(files.at(serial)));
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_EQ(g_RunState.sendnow, 3500);

    // The host sees what the base protocol shows, one pair per chunk.
    const std::vector<Message>& got = fake::messages();
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Message& m) { return m.msg == AU_MSG_PROGRESS; }), 5);
    EXPECT_EQ(std::count(got.begin(), got.end(), kFileDone), 3);
    EXPECT_EQ(got.back(), kFileDone);
    EXPECT_EQ(got[got.size() - 2], (Message{AU_MSG_BYTES, 3500, 3500, 1}));
    EXPECT_EQ(fake::count(run.log(), "接收到数据大小为1001,"), 3) << run.log();
    EXPECT_EQ(fake::count(run.log(), "一个文件接收完毕"), 3);
    EXPECT_EQ(fake::count(run.log(), "sedmax wei :5000, 3500 sendnow :1428,1000消息发送完毕,filehead.buffsize:1001"), 1);
    EXPECT_EQ(pauses(5), 0);
}

TEST_F(FastMode, TheWindowIsToppedUpOnceHalfOfItIsAnswered) {
    const std::map<uint16_t, Bytes> files = {{1, pattern(8000, 1)}};
    std::vector<std::size_t> arrivedAfterEachReply;
    fake::Server server([&](fake::Connection& c) {
        std::vector<Bytes> due(4, Bytes());
        for (Bytes& r : due) {
            if (!c.readWithin(&r, kFileRequestSize, 5000)) return;
        }
        // Window 4: nothing after the first reply, two after the second.
        for (int reply = 0; reply < 2; ++reply) {
            c.write(answer(files, due[reply]));
            Bytes request;
            std::size_t arrived = 0;
            while (c.readWithin(&request, kFileRequestSize, 300)) {
                ++arrived;
                due.push_back(request);
            }
            arrivedAfterEachReply.push_back(arrived);
        }
        for (std::size_t i = 2; i < due.size(); ++i) c.write(answer(files, due[i]));
        serve(server, c, files);
    });
    fake::Run::connectTo(server.port());
    loadReply(offerReply(1, 1000, 4));
    plan({{1, 8000}});
    g_RunState.wei = 8000;
    downloadFile("remote", "f1", "Update\\", 1);

    EXPECT_EQ(arrivedAfterEachReply, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(file("Update/f1"), text(files.at(1)));
}

TEST_F(FastMode, AStagedPartIsAskedForFromItsEndAhead) {
    const std::map<uint16_t, Bytes> files = {{1, pattern(2500, 6)}, {3, pattern(1000, 7)}};
    fake::Server server([&](fake::Connection& c) { serve(server, c, files); });
    fake::Run::connectTo(server.port());
    ::mkdir((run.dir() + "/Update").c_str(), 0755);
    std::ofstream(run.dir() + "/Update/f1", std::ios::binary) << text(files.at(1)).substr(0, 1200);
    loadReply(offerReply(1, 1000, 8));
    plan({{1, 2500, 1200}, {3, 1000, 0}});

    downloadFile("remote", "f1", "Update\\", 1, 2500, fake::md5Hex(files.at(1)).c_str(), 1200);
    downloadFile("remote", "f3", "Update\\", 3, 1000);

    EXPECT_EQ(parsed(server.requests()), (std::vector<Request>{{1, 1200, 1000}, {1, 2200, 1000}, {3, 0, 1000}}));
    for (uint16_t serial : {1, 3}) EXPECT_EQ(file("Update/f" + std::to_string(serial)), text(files.at(serial)));
    EXPECT_EQ(g_RunState.runFailed, 0);
}

TEST_F(FastMode, ChunksOtherThanPredictedStillGiveWholeFilesInOrder) {
    // The first file is shorter than listed; the server sends 600 bytes where
    // 1000 were asked for.
    const std::map<uint16_t, Bytes> files = {{1, pattern(500, 3)}, {2, pattern(2500, 4)}, {5, pattern(1200, 5)}};
    fake::Server server([&](fake::Connection& c) { serve(server, c, files, 600); });
    fake::Run::connectTo(server.port());
    loadReply(offerReply(1, 1000, 16));
    plan({{1, 3000}, {2, 2500}, {5, 1200}});

    downloadFile("remote", "f1", "Update\\", 1, 3000);
    downloadFile("remote", "f2", "Update\\", 2, 2500);
    downloadFile("remote", "f5", "Update\\", 5, 1200);

    for (uint16_t serial : {1, 2, 5}) EXPECT_EQ(file("Update/f" + std::to_string(serial)), text(files.at(serial)));
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_EQ(g_RunState.sendnow, 4200);
    EXPECT_EQ(std::count(fake::messages().begin(), fake::messages().end(), kFileDone), 3);
    EXPECT_EQ(fake::count(run.log(), "一个文件接收完毕"), 3);
    // Each written chunk was logged once: 1 + 5 + 2 frames of 600 bytes or less.
    EXPECT_EQ(fake::count(run.log(), "接收到数据大小为"), 8) << run.log();
}

TEST_F(FastMode, RepliesSplitAnywhereOrJoinedAreTakenWhole) {
    const std::map<uint16_t, Bytes> files = {{1, pattern(25, 12)}, {2, pattern(7, 13)}};
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        Bytes replies;
        for (int n = 0; n < 4 && c.readWithin(&request, kFileRequestSize, 5000); ++n) {
            Bytes reply = answer(files, request);
            replies.insert(replies.end(), reply.begin(), reply.end());
        }
        // Four replies in one stream: the first bytes one by one, the rest at once.
        c.writeByteByByte(Bytes(replies.begin(), replies.begin() + 16));
        c.write(Bytes(replies.begin() + 16, replies.end()));
    });
    fake::Run::connectTo(server.port());
    loadReply(offerReply(1, 10, 16));
    plan({{1, 25}, {2, 7}});

    downloadFile("remote", "f1", "Update\\", 1, 25);
    downloadFile("remote", "f2", "Update\\", 2, 7);

    EXPECT_EQ(file("Update/f1"), text(files.at(1)));
    EXPECT_EQ(file("Update/f2"), text(files.at(2)));
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_EQ(fake::count(run.log(), "接收到数据大小为"), 4) << run.log();
}

TEST_F(FastMode, FileLongerThanListedFailsAsInTheBaseProtocol) {
    const std::map<uint16_t, Bytes> files = {{1, pattern(2500, 11)}};
    fake::Server server([&](fake::Connection& c) { serve(server, c, files); });
    fake::Run::connectTo(server.port());
    loadReply(offerReply(1, 1000, 16));
    plan({{1, 1500}});

    downloadFile("remote", "f1", "Update\\", 1, 1500);

    EXPECT_EQ(fake::messages(), std::vector<Message>{kTransferFailed});
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_EQ(file("Update/f1"), text(Bytes(files.at(1).begin(), files.at(1).begin() + 1000)));
    EXPECT_EQ(fake::count(run.log(), "收到的数据超过文件大小1500"), 1) << run.log();
}

// From our own server the file is created and written behind the transfer;
// one that cannot be created, or whose writes fail as on a full disk, still
// fails as it would on the spot. Files of several write batches included.
TEST_F(FastMode, AFileTheWriterCannotCreateOrFillFailsAsOnTheSpot) {
    struct Case {
        const char* gameDir;  // null: the run's own
        const char* name;
        std::size_t size;
        std::vector<Message> last;
    };
    const Message diskFull{AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_DISK_FULL, 0};
    for (const Case& c : {Case{nullptr, "taken", 1500, {kTransferFailed}},
                          Case{nullptr, "taken", 700000, {kTransferFailed}},
                          Case{"/dev", "full", 1500, {diskFull}}, Case{"/dev", "full", 700000, {diskFull}}}) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.size));
        fake::messages().clear();
        g_RunState.runFailed = 0;
        const std::map<uint16_t, Bytes> files = {{1, pattern(c.size, 3)}};
        fake::Server server([&](fake::Connection& conn) { serve(server, conn, files); });
        fake::Run::connectTo(server.port());
        loadReply(offerReply(1, 65534, 16));
        plan({{1, static_cast<uint32_t>(c.size)}});
        if (c.gameDir != nullptr) std::snprintf(g_RunState.gameDir, sizeof g_RunState.gameDir, "%s", c.gameDir);
        ::mkdir((run.dir() + "/taken").c_str(), 0755);

        downloadFile("remote", c.name, "", 1, static_cast<uint32_t>(c.size));

        EXPECT_EQ(fake::messages().back(), c.last.back());
        EXPECT_EQ(std::count(fake::messages().begin(), fake::messages().end(), kFileDone), 0);
        EXPECT_EQ(g_RunState.runFailed, 1);
        platform::closeSocket(g_Socket);
        g_Socket = 0;
    }
    // The next file is created and written again.
    fake::messages().clear();
    g_RunState.runFailed = 0;
    std::snprintf(g_RunState.gameDir, sizeof g_RunState.gameDir, "%s", run.dir().c_str());
    const std::map<uint16_t, Bytes> files = {{1, pattern(700000, 5)}};
    fake::Server server([&](fake::Connection& conn) { serve(server, conn, files); });
    fake::Run::connectTo(server.port());
    loadReply(offerReply(1, 65534, 16));
    plan({{1, 700000}});
    downloadFile("remote", "f1", "Update\\", 1, 700000);
    EXPECT_EQ(fake::messages().back(), kFileDone);
    EXPECT_EQ(file("Update/f1"), text(files.at(1)));
}

TEST_F(FastMode, LostConnectionGoesOnInTheBaseProtocolFromTheFirstUnwrittenByte) {
    const std::map<uint16_t, Bytes> files = {{1, pattern(3000, 6)}, {2, pattern(1500, 7)}};
    // The first server takes in all five requests, answers two and hangs up;
    // the spare one speaks only the base protocol.
    fake::Server lost([&](fake::Connection& c) {
        Bytes request;
        std::vector<Bytes> early;
        while (early.size() < 5 && c.readWithin(&request, kFileRequestSize, 5000)) early.push_back(request);
        for (std::size_t i = 0; i < 2 && i < early.size(); ++i) c.write(answer(files, early[i]));
    });
    fake::Server spare([&](fake::Connection& c) { serve(spare, c, files); });
    fake::Run::addServer("127.0.0.1", lost.port(), 1);
    fake::Run::addServer("127.0.0.1", spare.port());
    fake::Run::connectTo(lost.port());
    loadReply(offerReply(1, 1000, 16));
    plan({{1, 3000}, {2, 1500}});

    downloadFile("remote", "f1", "Update\\", 1);
    downloadFile("remote", "f2", "Update\\", 2);

    EXPECT_EQ(file("Update/f1"), text(files.at(1)));
    EXPECT_EQ(file("Update/f2"), text(files.at(2)));
    EXPECT_EQ(g_RunState.runFailed, 0);
    EXPECT_EQ(g_RunState.fastMode, 0);
    // No package request and no size field on the new connection: every
    // request is the base one, one reply at a time, from byte 2000 on.
    for (const Bytes& request : spare.requests()) EXPECT_EQ(fake::le32(request, 2), kFileRequestCode);
    EXPECT_EQ(parsed(spare.requests()),
              (std::vector<Request>{{1, 2000, 0}, {1, 2700, 0}, {2, 0, 0}, {2, 700, 0}, {2, 1400, 0}}));
    EXPECT_EQ(pauses(2400), 1);
    // A pause between each of the five replies and the request after it; the
    // last reply has none after it.
    EXPECT_EQ(pauses(5), 4);
    EXPECT_EQ(fake::count(run.log(), "rcv SOCKET_ERROR了"), 1);
    EXPECT_EQ(fake::messages().front(), (Message{AU_MSG_STATUS, AU_STATUS_CONNECTING, 1, 1}));
    EXPECT_EQ(std::count(fake::messages().begin(), fake::messages().end(), kFileDone), 2);
}

TEST_F(FastMode, AfterALossTheNewServerIsAskedForTheRunsBuild) {
    const std::map<uint16_t, Bytes> files = {{1, pattern(3000, 6)}, {2, pattern(1500, 7)}};
    struct Case {
        const char* what;
        Bytes spareReply;
        std::vector<Request> fileRequests;  // on the new connection
        uint8_t fastMode;
        uint8_t runFailed;
        int reconnectPauses;  // owed only to a server that goes on in the base protocol
    };
    const std::vector<Case> cases = {
        {"the same build, offered again on another number", buildOffer(0x5A, 800, 9),
         {{1, 2000, 800}, {1, 2800, 800}, {2, 0, 800}, {2, 800, 800}}, 1, 0, 0},
        {"a base server", fake::packageReply(7), {{1, 2000, 0}, {1, 2700, 0}, {2, 0, 0}, {2, 700, 0}, {2, 1400, 0}}, 0, 0, 1},
        {"an offer that names no build", offerReply(1, 800, 16), {{1, 2000, 0}, {1, 2700, 0}, {2, 0, 0}, {2, 700, 0}, {2, 1400, 0}}, 0, 0, 1},
        // The run ends there; the next file fails on its first reply.
        {"another build", buildOffer(0x33), {{2, 0, 0}}, 0, 1, 0},
    };
    for (const Case& c : cases) {
        fake::Run run;
        fake::Server lost([&](fake::Connection& conn) {
            Bytes request;
            std::vector<Bytes> early;
            while (early.size() < 5 && conn.readWithin(&request, kFileRequestSize, 5000)) early.push_back(request);
            for (std::size_t i = 0; i < 2 && i < early.size(); ++i) conn.write(answer(files, early[i]));
        });
        fake::Server spare([&](fake::Connection& conn) {
            Bytes request;
            if (!conn.readWithin(&request, kPackageRequestSize, 5000)) return;
            spare.record(request);
            conn.write(c.spareReply);
            serve(spare, conn, files);
        });
        fake::Run::addServer("127.0.0.1", lost.port(), 1);
        fake::Run::addServer("127.0.0.1", spare.port());
        fake::Run::connectTo(lost.port());
        std::snprintf(g_RunState.serverPackageName, sizeof g_RunState.serverPackageName, "game");
        g_RunState.packageFileId = 7;
        loadReply(buildOffer(0x5A));
        plan({{1, 3000}, {2, 1500}});

        downloadFile("remote", "f1", "Update\\", 1);
        downloadFile("remote", "f2", "Update\\", 2);

        const std::vector<Bytes> seen = spare.requests();
        ASSERT_FALSE(seen.empty()) << c.what;
        // The package request again, naming the build by its first four bytes.
        EXPECT_EQ(seen[0].size(), kPackageRequestSize) << c.what;
        EXPECT_EQ(fake::le32(seen[0], 2), kPackageRequestCode) << c.what;
        EXPECT_EQ(fake::le32(seen[0], 8), 0x5A5A5A5Au) << c.what;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(seen[0].data() + 12)), "game") << c.what;
        EXPECT_EQ(parsed(std::vector<Bytes>(seen.begin() + 1, seen.end())), c.fileRequests) << c.what;
        EXPECT_EQ(g_RunState.fastMode, c.fastMode) << c.what;
        EXPECT_EQ(g_RunState.runFailed, c.runFailed) << c.what;
        if (c.runFailed) {
            EXPECT_EQ(fake::count(run.log(), "重新连接的服务器已是另一版本的更新包,本次更新中止"), 1) << run.log();
            EXPECT_EQ(fake::Run::readFile(run.dir() + "/Update/f1").size(), 2000u) << c.what;
        } else {
            EXPECT_TRUE(fake::Run::readFile(run.dir() + "/Update/f1") == text(files.at(1))) << c.what;
            EXPECT_TRUE(fake::Run::readFile(run.dir() + "/Update/f2") == text(files.at(2))) << c.what;
        }
        EXPECT_EQ(g_RunState.packageFileId, c.fastMode ? 9 : 7) << c.what;
        EXPECT_EQ(pauses(2400), c.reconnectPauses) << c.what;
    }
}

TEST_F(FastMode, AfterARefusedFileTheNextFailsOnItsFirstReply) {
    const std::map<uint16_t, Bytes> files = {{2, pattern(1800, 8)}};  // serial 1 is unknown
    fake::Server server([&](fake::Connection& c) { serve(server, c, files); });
    fake::Run::connectTo(server.port());
    loadReply(offerReply(1, 1000, 16));
    plan({{1, 1500}, {2, 1800}});

    downloadFile("remote", "f1", "Update\\", 1);
    downloadFile("remote", "f2", "Update\\", 2);

    EXPECT_EQ(fake::messages(), (std::vector<Message>{kTransferFailed, kTransferFailed}));
    EXPECT_EQ(g_RunState.runFailed, 1);
    EXPECT_EQ(file("Update/f2"), "");
    EXPECT_EQ(g_RunState.sendnow, 0);
}

TEST_F(FastMode, WithoutTheOfferEveryRequestIsTheBaseOne) {
    const std::map<uint16_t, Bytes> files = {{1, pattern(1500, 9)}, {2, pattern(10, 10)}};
    fake::Server server([&](fake::Connection& c) { serve(server, c, files); });
    fake::Run::connectTo(server.port());
    loadReply(fake::packageReply(7));
    g_RunState.packageFileId = 7;
    plan({{1, 1500}, {2, 10}});

    downloadFile("remote", "f1", "Update\\", 1);
    downloadFile("remote", "f2", "Update\\", 2);

    EXPECT_EQ(file("Update/f1"), text(files.at(1)));
    std::vector<Bytes> expected;
    for (auto [serial, offset] : std::vector<std::pair<uint16_t, uint32_t>>{{1, 0}, {1, 700}, {1, 1400}, {2, 0}}) {
        uint8_t frame[kFileRequestSize];
        buildFileRequest(frame, 7, serial, offset);
        expected.emplace_back(frame, frame + kFileRequestSize);
    }
    EXPECT_EQ(server.requests(), expected);
    // The base protocol's pause between each reply and the next request.
    EXPECT_EQ(pauses(5), 3);
}

TEST_F(FastMode, OnlyAnAddressThatOfferedOnAnEarlierRunIsAskedWithoutThePause) {
    struct Start {
        bool offers;
        bool paused;
    } starts[] = {
        {true, true},    // never seen: the pause, then remembered
        {true, false},   // remembered: asked at once
        {false, false},  // remembered, now a base server: asked at once, then forgotten
        {false, true},   // forgotten: the pause again
    };
    std::atomic<bool> offers{false};
    fake::Server server([&](fake::Connection& c) {
        Bytes request;
        if (c.read(&request, kPackageRequestSize)) c.write(offers ? buildOffer(1) : fake::packageReply(7));
        c.clientClosed();
    });
    std::snprintf(g_RunState.packageName, sizeof g_RunState.packageName, "pkg");
    std::snprintf(g_RunState.preferredServerIp, sizeof g_RunState.preferredServerIp, "127.0.0.1");
    fake::Run::addServer("127.0.0.1", server.port());
    for (const Start& start : starts) {
        offers = start.offers;
        g_RunState.ServerTable[0].tried = 0;
        fake::sleeps().clear();
        loadKnownFastServers();
        ASSERT_TRUE(connectFirstServer());
        ASSERT_TRUE(requestPackage());
        EXPECT_EQ(pauses(2000), start.paused ? 1 : 0) << start.offers;
        EXPECT_EQ(g_RunState.fastMode, start.offers ? 1 : 0);
        platform::closeSocket(g_Socket);
        g_Socket = 0;
    }
    EXPECT_EQ(file("pkg.fast"), "");
}

TEST_F(FastMode, AChangedFileIsBuiltFromItsInstalledCopyOrElseFetchedWhole) {
    using Compress = int (*)(unsigned char*, unsigned long*, const unsigned char*, unsigned long);
    platform::Library zlib = platform::loadLibrary("zlib.DLL");
    ASSERT_NE(zlib, nullptr);
    auto compress = reinterpret_cast<Compress>(platform::findSymbol(zlib, "compress"));
    const Bytes old = pattern(200000, 21);
    Bytes fresh = old;
    for (std::size_t i = 90000; i < 95000; ++i) fresh[i] = static_cast<uint8_t>(i * 7);
    // A block of the installed file alike to the new one's by its weak sum
    // where it stands: +128 and -128, 512 bytes apart, leave both halves of
    // the sum as they were. It is the block after the changed ones, so the
    // plan made again asks for a range that starts where the first one did.
    Bytes alike = old;
    alike[99000] = 0x10;
    alike[99512] = 0xA0;
    fresh[99000] = 0x90;
    fresh[99512] = 0x20;
    struct Case {
        const char* what;
        Bytes table;          // served for serial 0x8001
        uint16_t features;
        uint8_t corruptReply;  // flips a byte of each deflated stream
        int patchedLines, fallbackLines, checkedAgainLines;
        std::size_t mostFetched;  // payload bytes of serial 1
        const Bytes* installed;
    };
    BlockSums shifted = sumsOf(old, 4096);  // the old file's blocks under the new file's name
    std::memcpy(shifted.fileMd5, sumsOf(fresh, 4096).fileMd5, 16);
    Bytes otherFile = EncodeBlockSums(sumsOf(fresh, 4096));
    otherFile[8] ^= 1;  // another size: the table is not the listed file's
    constexpr std::size_t kPatched = 5000 + 2 * 4096 + 4096;  // the changed bytes and the block after them
    const Case cases[] = {
        {"patched", EncodeBlockSums(sumsOf(fresh, 4096)), 1, 0, 1, 0, 0, kPatched, &old},
        {"patched, deflated", EncodeBlockSums(sumsOf(fresh, 4096)), 3, 0, 1, 0, 0, kPatched, &old},
        {"a table of another size", otherFile, 1, 0, 0, 0, 0, fresh.size(), &old},
        {"a plan that gives other bytes", EncodeBlockSums(shifted), 1, 0, 0, 1, 0, fresh.size(), &old},
        // The table fails first, then the whole file's first reply.
        {"a stream that does not inflate", EncodeBlockSums(sumsOf(fresh, 4096)), 3, 1, 0, 0, 0, fresh.size(), &old},
        // Planned again with both sums, the block after the changed ones travels too.
        {"a block alike by its weak sum", EncodeBlockSums(sumsOf(fresh, 4096)), 1, 0, 1, 0, 1,
         2 * kPatched - 4096, &alike},
    };
    for (const Case& c : cases) {
        fake::Run run;
        std::size_t fetched = 0;
        fake::Server server([&](fake::Connection& conn) {
            for (Bytes request; conn.read(&request, kFileRequestSize);) {
                server.record(request);
                Bytes reply = answer({{1, fresh}, {0x8001, c.table}}, request);
                if (fake::le16(request, 14) == 1) fetched += reply.size() - 3;
                if ((fake::le32(request, 8) & kFastWantDeflated) != 0 && reply.size() > 3) {
                    Bytes payload(reply.size() + 64, 0);  // the raw count, then the stream
                    unsigned long length = payload.size() - 4;
                    compress(payload.data() + 4, &length, reply.data() + 3, reply.size() - 3);
                    fake::putLe16(payload, 0, static_cast<uint16_t>(reply.size() - 3));
                    payload[4 + length / 2] ^= c.corruptReply;
                    payload.resize(4 + length);
                    reply = fake::chunk(static_cast<uint8_t>(reply[2] | kFastChunkDeflatedBit), payload);
                }
                conn.write(reply);
            }
        });
        fake::Run::connectTo(server.port());
        std::ofstream(run.dir() + "/big.pak", std::ios::binary) << text(*c.installed);
        Bytes offer = offerReply(3, 8000, 8, "AUFM", 24);
        fake::putLe16(offer, 146, c.features);
        loadReply(offer);
        setReplyInflater(reinterpret_cast<InflateFn>(platform::findSymbol(zlib, "uncompress")));
        UpdateListEntry entry{};
        std::snprintf(entry.md5, sizeof entry.md5, "%s", fake::md5Hex(fresh).c_str());
        entry.size = static_cast<int32_t>(fresh.size());
        std::snprintf(entry.path, sizeof entry.path, "/big.pak");
        std::vector<PatchStep> steps;
        BlockSums sums;
        const bool planned = planPatchedFile(entry, 1, &steps, &sums);
        std::vector<FetchRange> ranges;
        for (const PatchStep& step : steps) if (!step.copy) ranges.push_back({step.at, step.at + step.length});
        plan({{1, static_cast<uint32_t>(entry.size), 0, ranges}});
        const std::string basis = run.dir() + "/big.pak";
        const PatchSource patch{basis.c_str(), &steps, &sums};
        downloadFile("remote", "big.pak", "Update\\", 1, entry.size, entry.md5, 0, nullptr, planned ? &patch : nullptr);
        setReplyInflater(nullptr);

        EXPECT_EQ(fake::count(run.log(), "big.pak按块更新:复制"), c.patchedLines) << c.what << run.log();
        EXPECT_EQ(fake::count(run.log(), "big.pak按块更新失败"), c.fallbackLines) << c.what;
        EXPECT_EQ(fake::count(run.log(), "big.pak按块更新结果不符,逐块核对后重试"), c.checkedAgainLines) << c.what;
        EXPECT_EQ(g_RunState.runFailed, c.corruptReply) << c.what;
        EXPECT_TRUE(c.corruptReply || fake::Run::readFile(run.dir() + "/Update/big.pak") == text(fresh)) << c.what;
        EXPECT_LE(fetched, c.mostFetched) << c.what;
        EXPECT_EQ(g_RunState.bytesSaved > 0, c.patchedLines > 0 || (c.features == 3 && !c.corruptReply)) << c.what;
    }
    platform::freeLibrary(zlib);
}

}  // namespace

TEST(MirrorList, OnlyWholeBaseUrlsAreTakenAndObjectsAreNamedByTheirDigest) {
    const std::string text =
        "http://127.0.0.1:8080/game/\r\n"   // kept, CR LF between lines
        "https://cdn.example/g/\n"          // kept
        "ftp://127.0.0.1/x/\n"              // another scheme
        "http://127.0.0.1/no-slash\n"       // a base ends in "/"
        "http://127.0.0.1/a b/\n"           // no spaces
        "http:///\n"                        // no host
        "http://127.0.0.1/" + std::string(990, 'x') + "/\n";  // over 1000 bytes
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_EQ(ParseMirrorList(bytes, text.size()),
              (std::vector<std::string>{"http://127.0.0.1:8080/game/", "https://cdn.example/g/"}));
    std::string many;
    for (int i = 0; i < 12; ++i) many += "http://127.0.0.1/" + std::to_string(i) + "/\n";
    EXPECT_EQ(ParseMirrorList(reinterpret_cast<const uint8_t*>(many.data()), many.size()).size(), kMirrorsMax);
    const std::string large(kMirrorListMaxBytes + 1, '\n');
    EXPECT_TRUE(ParseMirrorList(reinterpret_cast<const uint8_t*>(large.data()), large.size()).empty());

    uint8_t sha[32];
    for (int i = 0; i < 32; ++i) sha[i] = static_cast<uint8_t>(i * 8 + 1);
    const std::string hex = "0109111921293139414951596169717981899199a1a9b1b9c1c9d1d9e1e9f1f9";
    EXPECT_EQ(MirrorObjectUrl("http://m/", sha), "http://m/objects/01/" + hex);
    EXPECT_EQ(MirrorObjectUrl("http://m/", sha, true), "http://m/sums/01/" + hex);
}
