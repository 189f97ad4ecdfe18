// update-server against hostile and slow clients, at its connection limit and
// when it is stopped: the real program on 127.0.0.1, each case bounded to a
// few dozen connections and a few seconds.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "list_format.h"
#include "package_codec.h"
#include "server_process.h"

namespace {

using namespace server_test;

constexpr uint16_t kPackageId = 41;

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

bool Closed(int fd)
{
    char byte;
    ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

int Count(const std::string& text, const std::string& what)
{
    int count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

class ServerRobustnessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/server_robustness_test.XXXXXX";
        dir_ = mkdtemp(pattern);
        std::mt19937 random(7);
        big_.resize(6000000);
        for (char& c : big_) c = static_cast<char>(random());
        mkdir((dir_ + "/game").c_str(), 0755);
        std::ofstream(dir_ + "/game/big.bin", std::ios::binary) << big_;
        std::ofstream(dir_ + "/game/small.txt", std::ios::binary) << std::string(2500, 's');
        root_ = dir_ + "/root";
        ASSERT_EQ(0, RunAndWait({MAKE_PACKAGE_BIN, "--name", "game", "--game", dir_ + "/game", "--out", root_,
                                 "--id", std::to_string(kPackageId)}));
        std::string list;
        ASSERT_TRUE(InflatePackage(ReadWholeFile(root_ + "/game.cms"), kMaxListBytes, &list));
        std::vector<ListRecord> records = ParseListRecords(list, kMaxListFiles);
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (records[i].path == "/big.bin") bigSerial_ = static_cast<uint16_t>(i + 1);
            if (records[i].path == "/small.txt") smallSerial_ = static_cast<uint16_t>(i + 1);
        }
        ASSERT_NE(0, bigSerial_);
        ASSERT_NE(0, smallSerial_);
    }
    static void TearDownTestSuite() { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    static std::string dir_;
    static std::string root_;
    static std::string big_;
    static uint16_t bigSerial_;
    static uint16_t smallSerial_;
};
std::string ServerRobustnessTest::dir_;
std::string ServerRobustnessTest::root_;
std::string ServerRobustnessTest::big_;
uint16_t ServerRobustnessTest::bigSerial_ = 0;
uint16_t ServerRobustnessTest::smallSerial_ = 0;

// One byte every 200 ms keeps a connection busy for ever as far as the idle
// time-out can tell; the request deadline ends it long before the 114 bytes.
TEST_F(ServerRobustnessTest, TrickledRequestsLoseTheirSlotAtTheDeadline)
{
    ServerProcess server(dir_, root_, {"--idle-timeout", "30", "--request-timeout", "2", "--max-clients", "3"});
    ASSERT_NE(0, server.port());
    TestClient first(server.port());
    TestClient second(server.port());
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(second.connected());
    uint8_t request[wire::kPackageRequestBytes];
    wire::BuildPackageRequest(request, "game");

    std::size_t sent = 0;
    bool firstClosed = false;
    bool secondClosed = false;
    for (int step = 0; step < 40 && !(firstClosed && secondClosed); ++step) {  // at most 8 s
        if (!firstClosed) firstClosed = Closed(first.fd()) || send(first.fd(), request + sent, 1, MSG_NOSIGNAL) != 1;
        if (!secondClosed) {
            secondClosed = Closed(second.fd()) || send(second.fd(), request + sent, 1, MSG_NOSIGNAL) != 1;
        }
        ++sent;
        usleep(200000);
    }
    EXPECT_TRUE(firstClosed);
    EXPECT_TRUE(secondClosed);
    EXPECT_LT(sent, wire::kPackageRequestBytes);
    EXPECT_EQ(2, Count(server.log(), "closed: request time-out")) << server.log();

    TestClient normal(server.port());
    EXPECT_EQ(kPackageId, PackageIdOf(normal.packageRequest("game")));
}

bool ReplyWaiting(int fd)
{
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// At the limit, newcomers wait for a slot instead of pushing anyone out: one
// limit for all the loops, a share per address, and a client that pauses
// 2400 ms before it asks is served in its turn. A client silent between
// requests gives its slot to one that waits and gets one back when it asks.
TEST_F(ServerRobustnessTest, AFullServerServesWaitingClientsInTurn)
{
    ServerProcess server(dir_, root_, {"--max-clients", "2", "--max-per-address", "1", "--loops", "4"});
    ASSERT_NE(0, server.port());
    const uint8_t halfRequest[] = {112, 0, 33, 0, 'g', 'a'};
    uint8_t request[wire::kPackageRequestBytes];
    wire::BuildPackageRequest(request, "game");
    // Two clients in the middle of a request hold both slots.
    auto a1 = std::make_unique<TestClient>(server.port(), 0, 15, "127.0.0.1", "127.0.0.1");
    ASSERT_EQ(kPackageId, PackageIdOf(a1->packageRequest("game")));
    ASSERT_TRUE(a1->sendBytes(halfRequest, sizeof halfRequest));
    auto b = std::make_unique<TestClient>(server.port(), 0, 15, "127.0.0.1", "127.0.0.2");
    ASSERT_EQ(kPackageId, PackageIdOf(b->packageRequest("game")));
    ASSERT_TRUE(b->sendBytes(halfRequest, sizeof halfRequest));
    TestClient a2(server.port(), 0, 15, "127.0.0.1", "127.0.0.1");
    TestClient c(server.port(), 0, 15, "127.0.0.1", "127.0.0.3");
    ASSERT_TRUE(a2.sendBytes(request, sizeof request));
    usleep(2400000);
    ASSERT_TRUE(c.sendBytes(request, sizeof request));
    usleep(1000000);
    EXPECT_FALSE(ReplyWaiting(a2.fd()));  // its address has its share
    EXPECT_FALSE(ReplyWaiting(c.fd()));   // the server is full, whichever loop holds it
    b.reset();
    EXPECT_EQ(kPackageId, PackageIdOf(c.receiveFrame()));
    EXPECT_FALSE(ReplyWaiting(a2.fd()));
    a1.reset();
    EXPECT_EQ(kPackageId, PackageIdOf(a2.receiveFrame()));

    TestClient d(server.port(), 0, 15, "127.0.0.1", "127.0.0.4");
    EXPECT_EQ(kPackageId, PackageIdOf(d.packageRequest("game")));
    EXPECT_EQ(kPackageId, PackageIdOf(c.packageRequest("game")));
    EXPECT_EQ(0, Count(server.log(), "closed: no request")) << server.log();
}

// Connections that never ask take no slot and go at the first-request
// deadline; one stalled half-way through a request goes at the request
// deadline, and the client that sent a whole request is served next, before
// an earlier one that sent half of one.
TEST_F(ServerRobustnessTest, SilentAndStalledConnectionsGiveWayToAClientAtWork)
{
    ServerProcess server(dir_, root_, {"--max-clients", "1", "--loops", "1", "--request-timeout", "2"});
    ASSERT_NE(0, server.port());
    std::vector<std::unique_ptr<TestClient>> hostile;
    const uint8_t halfRequest[] = {112, 0, 33, 0, 'g', 'a'};
    for (int i = 0; i < 8; ++i) {
        hostile.push_back(std::make_unique<TestClient>(server.port(), 0, 15));
        ASSERT_TRUE(hostile.back()->connected());
        if (i < 2) ASSERT_TRUE(hostile.back()->sendBytes(halfRequest, sizeof halfRequest));
    }
    usleep(300000);
    TestClient working(server.port(), 0, 15);
    EXPECT_EQ(kPackageId, PackageIdOf(working.packageRequest("game")));
    EXPECT_FALSE(Closed(hostile[1]->fd()));
    for (auto& client : hostile) EXPECT_TRUE(client->closedByServer());
    EXPECT_EQ(2, Count(server.log(), "closed: request time-out")) << server.log();
    EXPECT_EQ(6, Count(server.log(), "closed: no request after the client's pause, 0 files, 0 bytes")) << server.log();
    EXPECT_EQ(6, Count(server.log(), "never served")) << server.log();
}

// One address's silent connections fill the server and make room for another.
TEST_F(ServerRobustnessTest, SilentConnectionsOfOneAddressMakeRoomForAnother)
{
    ServerProcess server(dir_, root_, {"--loops", "1"}, 128);
    std::vector<std::unique_ptr<TestClient>> silent;
    for (int i = 0; i < 46; ++i) {
        silent.push_back(std::make_unique<TestClient>(server.port(), 0, 15, "127.0.0.1", "127.0.0.1"));
        ASSERT_EQ(kPackageId, PackageIdOf(silent.back()->packageRequest("game"))) << i << server.log();
    }
    TestClient player(server.port(), 0, 15, "127.0.0.1", "127.0.0.2");
    EXPECT_EQ(kPackageId, PackageIdOf(player.packageRequest("game"))) << server.log();
    EXPECT_LE(1, Count(server.log(), "closed: server full, made room")) << server.log();
}

// A reply on a slow link outlasts the request deadline many times over; it
// keeps its connection while bytes keep moving.
TEST_F(ServerRobustnessTest, ASlowReaderKeepsItsConnectionWhileBytesMove)
{
    ServerProcess server(dir_, root_, {"--request-timeout", "1"});
    ASSERT_NE(0, server.port());
    TestClient slow(server.port(), 2048, 15);
    ASSERT_EQ(kPackageId, PackageIdOf(slow.packageRequest("game")));
    uint8_t frame[wire::kFileRequestBytes];
    wire::BuildFileRequest(frame, kPackageId, bigSerial_, 0, 65534);
    ASSERT_TRUE(slow.sendBytes(frame, sizeof frame));
    std::string received;
    char buffer[1024];
    for (int step = 0; step < 100 && received.size() < 3 + 65534; ++step) {  // about 5 s
        usleep(50000);
        ssize_t got = recv(slow.fd(), buffer, sizeof buffer, 0);
        ASSERT_GT(got, 0) << "after " << received.size() << " bytes\n" << server.log();
        received.append(buffer, static_cast<std::size_t>(got));
    }
    ASSERT_EQ(3u + 65534u, received.size());
    EXPECT_TRUE(big_.compare(0, 65534, received.substr(3)) == 0);
}

// A first run digests every installed file between the list and its first
// file request: the idle time-out counts only once the client has asked for
// a file of the game.
TEST_F(ServerRobustnessTest, TheIdleTimeOutWaitsForTheDigestBeforeTheFirstFile)
{
    ServerProcess server(dir_, root_, {"--idle-timeout", "1"});
    ASSERT_NE(0, server.port());
    TestClient digesting(server.port(), 0, 15);
    TestClient fetching(server.port(), 0, 15);
    ASSERT_EQ(kPackageId, PackageIdOf(digesting.packageRequest("game")));
    ASSERT_EQ(2, ParseChunk(digesting.fileRequest(kPackageId, 0, 0)).flag);
    ASSERT_EQ(2, ParseChunk(fetching.fileRequest(kPackageId, smallSerial_, 0)).flag);
    usleep(2500000);
    EXPECT_EQ(2, ParseChunk(digesting.fileRequest(kPackageId, smallSerial_, 0)).flag) << server.log();
    EXPECT_TRUE(fetching.closedByServer());
    EXPECT_EQ(1, Count(server.log(), "closed: idle time-out")) << server.log();
    // Its lines name the build that served it, though it never asked for the package.
    EXPECT_EQ(2, Count(server.logWith(" 2500 bytes, build 1 list ", 2), " 2500 bytes, build 1 list ")) << server.log();
    EXPECT_EQ(1, Count(server.log(), ", served from build 1 list ")) << server.log();
}

TEST_F(ServerRobustnessTest, SummaryLinesCountClientsRequestsBytesAndErrors)
{
    ServerProcess server(dir_, root_, {"--stats-interval", "1", "--quiet"});
    ASSERT_NE(0, server.port());
    {
        TestClient client(server.port());
        for (int i = 0; i < 3; ++i) ASSERT_EQ(kPackageId, PackageIdOf(client.packageRequest("game")));
        ASSERT_EQ(2, ParseChunk(client.fileRequest(kPackageId, smallSerial_, 0)).flag);
        TestClient garbage(server.port());
        const uint8_t noRequest[] = {7, 0, 34, 0, 0, 0, 1, 0, 0};
        ASSERT_TRUE(garbage.sendBytes(noRequest, sizeof noRequest));
        EXPECT_TRUE(garbage.closedByServer());
    }
    unsigned long long accepted = 0, requests = 0, bytes = 0, files = 0;
    int notRequests = 0;
    std::string log;
    for (int wait = 0; wait < 50 && requests < 4; ++wait) {  // at most 5 s
        usleep(100000);
        log = server.log();
        accepted = requests = bytes = files = 0;
        notRequests = 0;
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            std::size_t at = line.find("summary: ");
            if (at == std::string::npos) continue;
            unsigned long long served, waiting, seconds, a, r, b, f;
            long long queued;
            const std::size_t interval = line.find("; in the last ");
            ASSERT_NE(std::string::npos, interval) << line;
            ASSERT_EQ(3, std::sscanf(line.c_str() + at, "summary: now %llu served, %llu waiting, %lld in the listen",
                                     &served, &waiting, &queued))
                << line;
            ASSERT_EQ(5, std::sscanf(line.c_str() + interval,
                                     "; in the last %llu s: %llu accepted, %llu requests, %llu bytes served, %llu files",
                                     &seconds, &a, &r, &b, &f))
                << line;
            accepted += a;
            requests += r;
            bytes += b;
            files += f;
            notRequests += Count(line, " 1 not a request frame");
        }
    }
    EXPECT_EQ(2u, accepted) << log;
    EXPECT_EQ(4u, requests) << log;
    EXPECT_EQ(3u * wire::kOfferedPackageReplyBytes + 3u + 2500u, bytes) << log;
    EXPECT_EQ(1u, files) << log;
    EXPECT_EQ(1, notRequests) << log;
    // --quiet keeps the start line and the summaries, not the lines per connection.
    EXPECT_NE(std::string::npos, log.find("listening on")) << log;
    EXPECT_EQ(std::string::npos, log.find(" connected\n")) << log;
    // --quiet keeps the per-request lines out, not the summaries.
    EXPECT_EQ(std::string::npos, log.find("package \"game\"")) << log;
}

// A client that reads slowly has a reply half-sent when the stop comes: it gets
// that reply whole and then a clean end of stream; idle clients are let go at
// once, nobody new gets in, and the server exits 0. Its metrics count the
// requests, its health answer turns to 503 for the drain, and the metrics port
// closes with the server.
TEST_F(ServerRobustnessTest, StopFinishesTheReplyInFlightThenExits)
{
    const std::string metricsPortFile = dir_ + "/metrics-port-stop";
    ServerProcess server(dir_, root_,
                         {"--chunk", "10000", "--metrics-port", "0", "--metrics-port-file", metricsPortFile});
    ASSERT_NE(0, server.port()) << server.log();
    // Written before the server's own port file.
    const auto metricsPort = static_cast<uint16_t>(std::atoi(ReadWholeFile(metricsPortFile).c_str()));
    ASSERT_NE(0, metricsPort);
    EXPECT_EQ(200, HttpGet(metricsPort, "/health").status);
    EXPECT_EQ(404, HttpGet(metricsPort, "/").status);
    const HttpAnswer before = HttpGet(metricsPort, "/metrics");
    ASSERT_EQ(200, before.status);
    TestClient idle(server.port());
    ASSERT_EQ(kPackageId, PackageIdOf(idle.packageRequest("game")));
    // Unknown packages add no series: one counter counts them.
    for (uint16_t id = 1000; id < 1010; ++id) ASSERT_EQ(0, ParseChunk(idle.fileRequest(id, 1, 0)).flag);
    // The bytes are counted once send() returns, which may be after the
    // client has read them.
    HttpAnswer counted;
    for (int i = 0; i < 100; ++i, usleep(20000)) {
        counted = HttpGet(metricsPort, "/metrics");
        if (MetricValue(counted.body, "autoupdate_server_unknown_package_requests_total") == 10) break;
    }
    EXPECT_GE(MetricValue(before.body, "autoupdate_server_requests_total"), 0) << before.body;
    EXPECT_EQ(MetricValue(before.body, "autoupdate_server_requests_total") + 11,
              MetricValue(counted.body, "autoupdate_server_requests_total"))
        << counted.body;
    EXPECT_NE(std::string::npos, counted.body.find("_package_requests_total{package=\"game\"} 1\n")) << counted.body;
    EXPECT_EQ(std::string::npos, counted.body.find("{package=\"10")) << counted.body;
    // The build that served them counts them too.
    EXPECT_EQ(MetricValue(counted.body, "autoupdate_server_package_bytes_total"),
              MetricValue(counted.body, "autoupdate_server_build_bytes_total"))
        << counted.body;
    EXPECT_NE(std::string::npos, counted.body.find("_builds{package=\"game\",signed=\"no\"} 1\n")) << counted.body;
    EXPECT_GT(MetricValue(counted.body, "autoupdate_server_bytes_total"),
              MetricValue(before.body, "autoupdate_server_bytes_total"))
        << counted.body;

    TestClient slow(server.port(), 2048);
    ASSERT_TRUE(slow.connected());
    // More than the socket buffers on both sides hold (4 MiB at most here).
    constexpr int kRequests = 600;
    std::vector<uint8_t> requests;
    for (int i = 0; i < kRequests; ++i) {
        uint8_t frame[wire::kFileRequestBytes];
        wire::BuildFileRequest(frame, kPackageId, bigSerial_, static_cast<uint32_t>(i * 10000));
        requests.insert(requests.end(), frame, frame + sizeof frame);
    }
    ASSERT_TRUE(slow.sendBytes(requests.data(), requests.size()));
    usleep(500000);  // the server fills what the buffers take
    server.signal(SIGTERM);
    HttpAnswer health;
    for (int i = 0; i < 100 && health.status != 503; ++i, usleep(20000)) health = HttpGet(metricsPort, "/health");
    EXPECT_EQ(503, health.status) << health.body;

    EXPECT_TRUE(idle.closedByServer());
    int frames = 0;
    for (;;) {
        std::string reply = slow.receiveFrame();
        if (reply.empty()) break;
        Chunk chunk = ParseChunk(reply);
        ASSERT_EQ(1, chunk.flag) << "frame " << frames;
        ASSERT_EQ(10000u, chunk.payload.size()) << "frame " << frames;
        ASSERT_TRUE(big_.compare(static_cast<std::size_t>(frames) * 10000, 10000, chunk.payload) == 0)
            << "frame " << frames;
        ++frames;
    }
    EXPECT_TRUE(slow.endedCleanly()) << "the stream broke after " << frames << " whole frames";
    EXPECT_GE(frames, 1);
    EXPECT_LT(frames, kRequests);
    EXPECT_EQ(0, server.waitForExit(std::chrono::seconds(15))) << server.log();
    TestClient after(server.port());
    EXPECT_FALSE(after.connected());
    EXPECT_NE(std::string::npos, server.log().find("no longer accepting")) << server.log();
    EXPECT_EQ(0, HttpGet(metricsPort, "/health").status);
}

// An IPv6 address serves IPv6 clients; an IPv4-mapped one serves IPv4 clients
// through the IPv6 socket, as "::" does. The metrics port binds the same way.
TEST_F(ServerRobustnessTest, ServesOverIpv6)
{
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool haveIpv6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
    if (probe >= 0) close(probe);
    if (!haveIpv6) GTEST_SKIP() << "this machine has no IPv6 loopback";

    const struct {
        const char* bind;
        const char* client;
    } cases[] = {{"::1", "::1"}, {"[::1]", "::1"}, {"::ffff:127.0.0.1", "127.0.0.1"}};
    int index = 0;
    for (const auto& each : cases) {
        SCOPED_TRACE(each.bind);
        const std::string metricsPortFile = dir_ + "/metrics-port-v6-" + std::to_string(index++);
        ServerProcess server(dir_, root_,
                             {"--bind", each.bind, "--metrics-port", "0", "--metrics-bind", each.bind,
                              "--metrics-port-file", metricsPortFile});
        ASSERT_NE(0, server.port()) << server.log();
        TestClient client(server.port(), 0, 10, each.client);
        ASSERT_TRUE(client.connected());
        ASSERT_EQ(kPackageId, PackageIdOf(client.packageRequest("game")));
        const Chunk chunk = ParseChunk(client.fileRequest(kPackageId, smallSerial_, 0));
        EXPECT_EQ(2, chunk.flag);
        EXPECT_EQ(std::string(2500, 's'), chunk.payload);
        const auto metricsPort = static_cast<uint16_t>(std::atoi(ReadWholeFile(metricsPortFile).c_str()));
        EXPECT_EQ(200, HttpGet(metricsPort, "/health", each.client).status);
    }
}

}  // namespace
