// The real update-server, started on 127.0.0.1 with an ephemeral port and fed
// packages by the real make-package, driven by many clients at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "list_format.h"
#include "package_codec.h"
#include "server_process.h"
#include "wire_protocol.h"

namespace {

using namespace server_test;

constexpr int kClients = 200;
constexpr std::size_t kBigFileBytes = 1 << 20;

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::system(("mkdir -p '" + path.substr(0, path.rfind('/')) + "'").c_str());
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Chunk {
    int flag = -1;
    std::string payload;
};

Chunk ParseChunk(const std::string& reply)
{
    Chunk chunk;
    if (reply.size() < 3) return chunk;
    chunk.flag = static_cast<uint8_t>(reply[2]);
    chunk.payload = reply.substr(3);
    return chunk;
}

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/server_load_test.XXXXXX";
        dir_ = mkdtemp(pattern);
        std::mt19937 random(20240607);
        big_.resize(kBigFileBytes);
        for (char& c : big_) c = static_cast<char>(random());
        WriteFile(dir_ + "/game/data/big.bin", big_);
        WriteFile(dir_ + "/game/empty.txt", "");
        WriteFile(dir_ + "/game/small.txt", std::string(2500, 's'));
        WriteFile(dir_ + "/system/x.dll", "dll bytes");
        root_ = dir_ + "/root";
        ASSERT_EQ(0, RunAndWait({MAKE_PACKAGE_BIN, "--name", "game", "--game", dir_ + "/game", "--system",
                                 dir_ + "/system", "--out", root_, "--id", "77"}));
    }
    static void TearDownTestSuite() { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Serial of a list path, from the package as the server sends it.
    static uint16_t SerialOf(TestClient& client, uint16_t id, const std::string& path)
    {
        std::string package;
        for (int i = 0; i < 100; ++i) {
            Chunk chunk = ParseChunk(client.fileRequest(id, 0, static_cast<uint32_t>(package.size())));
            package += chunk.payload;
            if (chunk.flag != 1) break;
        }
        std::string list;
        if (!InflatePackage(package, kMaxListBytes, &list)) return 0;
        std::vector<ListRecord> records = ParseListRecords(list, kMaxListFiles);
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (records[i].path == path) return static_cast<uint16_t>(i + 1);
        }
        return 0;
    }

    static std::string dir_;
    static std::string root_;
    static std::string big_;
};
std::string ServerTest::dir_;
std::string ServerTest::root_;
std::string ServerTest::big_;

TEST_F(ServerTest, AnswersPackageRequestsAndStopsCleanly)
{
    ServerProcess server(dir_, root_, {"--quiet"});
    ASSERT_NE(0, server.port());
    TestClient client(server.port(), 0, 20);
    ASSERT_TRUE(client.connected());
    std::string reply = client.packageRequest("game");
    // The base reply, then the fast-mode offer after byte 113.
    ASSERT_EQ(wire::kOfferedPackageReplyBytes, reply.size());
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(reply.data());
    EXPECT_EQ(wire::kOfferedPackageReplyBytes - 2, wire::ReadLe16(bytes));
    EXPECT_EQ(77, PackageIdOf(reply));
    EXPECT_EQ(65534, wire::ReadOffer(bytes, reply.size()).maxChunkPayload);
    const std::string unknown = client.packageRequest("other");
    EXPECT_EQ(114u, unknown.size());
    EXPECT_EQ(0xFFFF, PackageIdOf(unknown));
    EXPECT_EQ(0xFFFF, PackageIdOf(client.packageRequest("gam")));
    EXPECT_EQ(0, server.stop());
}

TEST_F(ServerTest, ChunkFlagsAndOffsets)
{
    ServerProcess server(dir_, root_, {"--quiet", "--chunk", "1000"});
    TestClient client(server.port(), 0, 20);
    ASSERT_TRUE(client.connected());
    const uint16_t small = SerialOf(client, 77, "/small.txt");
    const uint16_t empty = SerialOf(client, 77, "/empty.txt");
    const uint16_t dll = SerialOf(client, 77, "/x.dll");
    ASSERT_NE(0, small);
    ASSERT_NE(0, empty);
    ASSERT_NE(0, dll);

    std::vector<int> flags;
    std::vector<std::size_t> sizes;
    std::string whole;
    while (flags.size() < 10 && (flags.empty() || flags.back() == 1)) {
        Chunk chunk = ParseChunk(client.fileRequest(77, small, static_cast<uint32_t>(whole.size())));
        flags.push_back(chunk.flag);
        sizes.push_back(chunk.payload.size());
        whole += chunk.payload;
    }
    EXPECT_EQ((std::vector<int>{1, 1, 2}), flags);
    EXPECT_EQ((std::vector<std::size_t>{1000, 1000, 500}), sizes);
    EXPECT_EQ(std::string(2500, 's'), whole);
    EXPECT_EQ(std::string(1, 's'), ParseChunk(client.fileRequest(77, small, 2499)).payload);
    // Requests sent together, more than one read takes and a package request
    // among them, get the replies they get one by one, in their order.
    std::vector<std::string> alone;
    std::string together;
    for (uint32_t i = 0; i < 24; ++i) {
        uint8_t frame[wire::kPackageRequestBytes];
        const bool package = i == 15;
        if (package) wire::BuildPackageRequest(frame, "game");
        else wire::BuildFileRequest(frame, 77, small, i * 100);
        together.append(reinterpret_cast<const char*>(frame), package ? sizeof frame : wire::kFileRequestBytes);
        alone.push_back(package ? client.packageRequest("game") : client.fileRequest(77, small, i * 100));
    }
    ASSERT_TRUE(client.sendBytes(reinterpret_cast<const uint8_t*>(together.data()), together.size()));
    for (const std::string& reply : alone) ASSERT_EQ(reply, client.receiveFrame());

    std::string reply = client.fileRequest(77, small, 2500);
    EXPECT_EQ(std::string("\x01\x00\x02", 3), reply);  // the end: flag 2, no payload
    EXPECT_EQ(std::string("\x01\x00\x00", 3), client.fileRequest(77, small, 2501));
    EXPECT_EQ(std::string("\x01\x00\x02", 3), client.fileRequest(77, empty, 0));
    EXPECT_EQ(0, ParseChunk(client.fileRequest(77, 999, 0)).flag);
    EXPECT_EQ(0, ParseChunk(client.fileRequest(78, small, 0)).flag);
    Chunk system = ParseChunk(client.fileRequest(77, dll, 0));
    EXPECT_EQ(2, system.flag);
    EXPECT_EQ("dll bytes", system.payload);
    Chunk package = ParseChunk(client.fileRequest(77, 0, 0));
    EXPECT_EQ(2, package.flag);
    EXPECT_EQ(ReadWholeFile(root_ + "/game.cms"), package.payload);
}

TEST_F(ServerTest, ClosesOnAFrameThatIsNoRequest)
{
    ServerProcess server(dir_, root_, {"--quiet"});
    TestClient client(server.port(), 0, 20);
    ASSERT_TRUE(client.connected());
    uint8_t frame[wire::kFileRequestBytes];
    wire::BuildFileRequest(frame, 77, 1, 0);
    frame[2] = 33;  // unknown code
    ASSERT_TRUE(client.sendBytes(frame, sizeof frame));
    EXPECT_TRUE(client.closedByServer());

    TestClient second(server.port(), 0, 20);
    const uint8_t wrongSize[] = {7, 0, 34, 0, 0, 0, 1, 0, 0};
    ASSERT_TRUE(second.sendBytes(wrongSize, sizeof wrongSize));
    EXPECT_TRUE(second.closedByServer());

    TestClient third(server.port(), 0, 20);  // the server goes on serving
    EXPECT_EQ(77, PackageIdOf(third.packageRequest("game")));
}

// Every client connects before any of them asks, so all are open at once.
template <typename Work>
int RunConcurrentClients(uint16_t port, Work work)
{
    std::mutex mutex;
    std::condition_variable ready;
    int connected = 0;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            TestClient client(port, 0, 20);
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++connected;
                ready.notify_all();
                ready.wait_for(lock, std::chrono::seconds(30), [&] { return connected == kClients; });
            }
            if (!client.connected() || !work(client, i)) ++failures;
        });
    }
    for (std::thread& thread : threads) thread.join();
    return failures.load();
}

TEST_F(ServerTest, TwoHundredClientsAskForThePackageAtOnce)
{
    ServerProcess server(dir_, root_, {"--quiet"});
    ASSERT_NE(0, server.port());
    int failures = RunConcurrentClients(server.port(), [](TestClient& client, int i) {
        return PackageIdOf(client.packageRequest(i % 2 ? "game" : "nothing")) == (i % 2 ? 77 : 0xFFFF);
    });
    EXPECT_EQ(0, failures);
}

TEST_F(ServerTest, TwoHundredClientsFetchTheMegabyteFileAtOnce)
{
    ServerProcess server(dir_, root_, {"--quiet"});
    TestClient probe(server.port(), 0, 20);
    const uint16_t serial = SerialOf(probe, 77, "/data/big.bin");
    ASSERT_NE(0, serial);
    const std::string& big = big_;
    int failures = RunConcurrentClients(server.port(), [&](TestClient& client, int) {
        std::size_t offset = 0;
        for (int chunks = 0; chunks < 1000; ++chunks) {
            Chunk chunk = ParseChunk(client.fileRequest(77, serial, static_cast<uint32_t>(offset)));
            if (chunk.flag != 1 && chunk.flag != 2) return false;
            if (offset + chunk.payload.size() > big.size() ||
                big.compare(offset, chunk.payload.size(), chunk.payload) != 0) {
                return false;
            }
            offset += chunk.payload.size();
            if (chunk.flag == 2) return offset == big.size();
        }
        return false;
    });
    EXPECT_EQ(0, failures);
}

// With room for a few clients only, the others wait to be accepted instead of
// having chunks refused in the middle of a file.
TEST_F(ServerTest, ClientsBeyondTheDescriptorLimitWaitAndEveryFileComesWhole)
{
    ServerProcess server(dir_, root_, {"--quiet"}, 64);
    TestClient probe(server.port(), 0, 20);
    const uint16_t serial = SerialOf(probe, 77, "/data/big.bin");
    ASSERT_NE(0, serial);
    const std::string& big = big_;
    int failures = RunConcurrentClients(server.port(), [&](TestClient& client, int) {
        std::string received;
        for (int chunks = 0; chunks < 1000; ++chunks) {
            Chunk chunk = ParseChunk(client.fileRequest(77, serial, static_cast<uint32_t>(received.size())));
            if (chunk.flag != 1 && chunk.flag != 2) return false;
            received += chunk.payload;
            if (chunk.flag == 2) return received == big;
        }
        return false;
    });
    EXPECT_EQ(0, failures);
}

// Deflated files and older builds held within a small limit: the rest wait.
TEST_F(ServerTest, DeflatedFilesAndOlderBuildsKeptStayWithinTheDescriptorBudget)
{
    const std::string game = dir_ + "/text-game", root = dir_ + "/text-root";
    std::string text;
    for (int i = 0; text.size() < 480000; ++i) text += "line " + std::to_string(i * 7919 % 100003) + "\n";
    WriteFile(game + "/text.txt", text);
    for (const char* build : {"1", "2", "3", "4", "5", "6"}) {
        WriteFile(game + "/build.txt", build);
        ASSERT_EQ(0, RunAndWait({MAKE_PACKAGE_BIN, "--name", "text", "--game", game, "--out", root, "--id", "78",
                                 "--keep", "9"}));
    }
    ServerProcess server(dir_, root, {"--loops", "1"}, 128);
    TestClient probe(server.port(), 0, 20);
    const uint16_t serial = SerialOf(probe, 78, "/text.txt");
    ASSERT_NE(std::string::npos, server.log().find("older builds kept: 5, 4, 3, 2, 1")) << server.log();
    EXPECT_EQ(0, RunConcurrentClients(server.port(), [&](TestClient& client, int) {
        uint8_t frame[wire::kFileRequestBytes];
        wire::BuildFileRequest(frame, 78, serial, 0, 65534 | wire::kWantDeflated);
        const int flag = client.sendBytes(frame, sizeof frame) ? ParseChunk(client.receiveFrame()).flag : -1;
        usleep(200000);  // holding the file
        return flag == (1 | wire::kChunkDeflatedBit);
    })) << server.log();
}

// Four loops share the port: every client is served by one of them, and one
// SIGTERM stops them all.
TEST_F(ServerTest, LoopsOnOnePortServeEveryClientAndStopTogether)
{
    ServerProcess server(dir_, root_, {"--quiet", "--loops", "4"});
    ASSERT_NE(0, server.port());
    int failures = RunConcurrentClients(server.port(), [](TestClient& client, int i) {
        return PackageIdOf(client.packageRequest("game")) == 77 &&
               ParseChunk(client.fileRequest(77, 0, 0)).payload == ReadWholeFile(root_ + "/game.cms");
    });
    EXPECT_EQ(0, failures);
    EXPECT_EQ(0, server.stop());
}

TEST_F(ServerTest, ASecondServerOnTheSamePortIsRefused)
{
    ServerProcess server(dir_, root_, {"--quiet", "--loops", "2"});
    ASSERT_NE(0, server.port());
    // Bounded: a second server that shared the port would serve until killed.
    EXPECT_EQ(1, RunAndWait({"/usr/bin/timeout", "10", UPDATE_SERVER_BIN, "--root", root_, "--port",
                             std::to_string(server.port()), "--loops", "2", "--quiet"}));
    EXPECT_EQ(0, server.stop());
}

TEST_F(ServerTest, RefusesTheSerialItIsToldTo)
{
    ServerProcess server(dir_, root_, {"--quiet", "--refuse-serial", "2"});
    TestClient client(server.port(), 0, 20);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(std::string("\x01\x00\x00", 3), client.fileRequest(77, 2, 0));
    EXPECT_EQ(1, ParseChunk(client.fileRequest(77, 1, 0)).flag);  // the megabyte file
    Chunk small = ParseChunk(client.fileRequest(77, 3, 0));
    EXPECT_EQ(2, small.flag);
    EXPECT_EQ(2500u, small.payload.size());
    EXPECT_EQ(0, ParseChunk(client.fileRequest(77, 2, 0)).flag);  // refused on every request
}

TEST_F(ServerTest, DropsConnectionsAndClientsResumeByOffset)
{
    ServerProcess server(dir_, root_, {"--quiet", "--drop-after", "10000", "--chunk", "4096"});
    uint16_t serial = 0;
    {
        TestClient probe(server.port(), 0, 20);
        serial = SerialOf(probe, 77, "/data/big.bin");
    }
    ASSERT_NE(0, serial);
    std::string received;
    int connections = 0;
    bool done = false;
    while (!done && connections < 200) {
        TestClient client(server.port(), 0, 20);
        ++connections;
        ASSERT_TRUE(client.connected());
        int chunksHere = 0;
        for (;;) {
            Chunk chunk = ParseChunk(client.fileRequest(77, serial, static_cast<uint32_t>(received.size())));
            if (chunk.flag == -1) break;  // dropped: reconnect and ask from the same offset
            ASSERT_NE(0, chunk.flag);
            received += chunk.payload;
            ++chunksHere;
            if (chunk.flag == 2) {
                done = true;
                break;
            }
        }
        // 10000 bytes take three 4096-byte chunks; the last connection may need fewer.
        if (!done) EXPECT_EQ(3, chunksHere);
    }
    EXPECT_TRUE(done);
    EXPECT_TRUE(received == big_);
    EXPECT_EQ(static_cast<int>((kBigFileBytes + 12287) / 12288), connections);
}

// A chunk's header goes out before its payload leaves the served file: a file
// cut short in place after that must end the connection, never pass as a
// short chunk, and a new connection sees the file as it now is.
TEST_F(ServerTest, AChunkPromisedFromAFileThatShrankEndsTheConnection)
{
    const std::string game = dir_ + "/shrink";
    WriteFile(game + "/f.bin", std::string(100000, 'f'));
    ASSERT_EQ(0, RunAndWait({MAKE_PACKAGE_BIN, "--name", "shrink", "--game", game, "--out", root_}));
    ServerProcess server(dir_, root_, {"--quiet", "--chunk", "4096"});
    TestClient client(server.port(), 0, 20);
    const uint16_t id = PackageIdOf(client.packageRequest("shrink"));
    ASSERT_NE(0xFFFF, id);
    Chunk first = ParseChunk(client.fileRequest(id, 1, 0));
    ASSERT_EQ(1, first.flag);
    ASSERT_EQ(4096u, first.payload.size());

    std::string served;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_ + "/.store/shrink")) {
        if (entry.path().filename() == "f.bin") served = entry.path().string();
    }
    ASSERT_FALSE(served.empty());
    ASSERT_EQ(0, truncate(served.c_str(), 5000));

    EXPECT_EQ("", client.fileRequest(id, 1, 8192));
    EXPECT_TRUE(client.closedByServer());

    TestClient again(server.port(), 0, 20);
    EXPECT_EQ(id, PackageIdOf(again.packageRequest("shrink")));
    EXPECT_EQ(0, ParseChunk(again.fileRequest(id, 1, 8192)).flag);
    Chunk rest = ParseChunk(again.fileRequest(id, 1, 4096));
    EXPECT_EQ(2, rest.flag);
    EXPECT_EQ(std::string(904, 'f'), rest.payload);
}

TEST_F(ServerTest, ServesTheNewBuildAfterARebuild)
{
    const std::string game = dir_ + "/rebuild";
    WriteFile(game + "/f.txt", "before");
    ASSERT_EQ(0, RunAndWait({MAKE_PACKAGE_BIN, "--name", "live", "--game", game, "--out", root_}));
    ServerProcess server(dir_, root_, {"--quiet"});
    TestClient client(server.port(), 0, 20);
    const uint16_t id = PackageIdOf(client.packageRequest("live"));
    ASSERT_NE(0xFFFF, id);
    EXPECT_EQ("before", ParseChunk(client.fileRequest(id, 1, 0)).payload);

    WriteFile(game + "/f.txt", "after!");
    ASSERT_EQ(0, RunAndWait({MAKE_PACKAGE_BIN, "--name", "live", "--game", game, "--out", root_}));
    EXPECT_EQ(id, PackageIdOf(client.packageRequest("live")));
    EXPECT_EQ("after!", ParseChunk(client.fileRequest(id, 1, 0)).payload);
    // The other package kept its number through the rebuild.
    EXPECT_EQ(77, PackageIdOf(client.packageRequest("game")));
}

TEST_F(ServerTest, MakePackageRefusesWithStatusTwo)
{
    WriteFile(dir_ + "/bad/a,b.txt", "x");
    EXPECT_EQ(2, RunAndWait({MAKE_PACKAGE_BIN, "--name", "bad", "--game", dir_ + "/bad", "--out", root_}));
    EXPECT_EQ(2, RunAndWait({MAKE_PACKAGE_BIN, "--name", "bad", "--game", dir_ + "/game", "--out", root_,
                             "--id", "77"}));
    EXPECT_EQ(2, RunAndWait({MAKE_PACKAGE_BIN, "--name", "bad", "--out", root_}));
    struct stat st;
    EXPECT_NE(0, lstat((root_ + "/bad.cms").c_str(), &st));
}

}  // namespace
