// The real update-server, started on 127.0.0.1 with an ephemeral port and fed
// packages by the real make-package, driven by many clients at once.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "package_codec.h"
#include "list_format.h"
#include "wire_protocol.h"

namespace {

constexpr int kClients = 200;
constexpr std::size_t kBigFileBytes = 1 << 20;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::system(("mkdir -p '" + path.substr(0, path.rfind('/')) + "'").c_str());
    std::ofstream(path, std::ios::binary) << bytes;
}

int RunProgram(const std::vector<std::string>& args)
{
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Server {
public:
    // descriptorLimit, when given, is both the soft and the hard limit on open
    // descriptors of the server.
    Server(const std::string& root, const std::vector<std::string>& extra, rlim_t descriptorLimit = 0)
    {
        portFile_ = root + "/../port-" + std::to_string(counter_++);
        std::vector<std::string> args = {UPDATE_SERVER_BIN, "--root", root, "--port", "0", "--port-file",
                                         portFile_, "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            if (descriptorLimit > 0) {
                rlimit limit{descriptorLimit, descriptorLimit};
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && port_ == 0; ++i) {  // at most 10 s
            std::string text = ReadFile(portFile_);
            if (!text.empty()) port_ = static_cast<uint16_t>(std::atoi(text.c_str()));
            else usleep(20000);
        }
    }
    ~Server() { stop(); }
    uint16_t port() const { return port_; }
    // The exit status after SIGTERM, -1 when it did not exit normally.
    int stop()
    {
        if (pid_ <= 0) return exitStatus_;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exitStatus_;
    }

private:
    static int counter_;
    std::string portFile_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    int exitStatus_ = -1;
};
int Server::counter_ = 0;

// A blocking client on 127.0.0.1 with a receive time-out, so a fault shows as
// a failed test instead of a hang.
class Client {
public:
    explicit Client(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client()
    {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return connected_; }

    bool sendBytes(const uint8_t* data, std::size_t length)
    {
        while (length > 0) {
            ssize_t sent = send(fd_, data, length, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            data += sent;
            length -= static_cast<std::size_t>(sent);
        }
        return true;
    }
    // One whole reply frame, or empty when the connection ended first.
    std::string receiveFrame()
    {
        std::string frame;
        if (!receiveExactly(2, &frame)) return std::string();
        std::size_t body = wire::ReadLe16(reinterpret_cast<const uint8_t*>(frame.data()));
        if (!receiveExactly(body, &frame)) return std::string();
        return frame;
    }
    std::string packageRequest(const std::string& name)
    {
        uint8_t frame[wire::kPackageRequestBytes];
        wire::BuildPackageRequest(frame, name);
        return sendBytes(frame, sizeof frame) ? receiveFrame() : std::string();
    }
    std::string fileRequest(uint16_t id, uint16_t serial, uint32_t offset)
    {
        uint8_t frame[wire::kFileRequestBytes];
        wire::BuildFileRequest(frame, id, serial, offset);
        return sendBytes(frame, sizeof frame) ? receiveFrame() : std::string();
    }
    // True when the server has closed the connection; bytes it left unread
    // turn its close into a reset.
    bool closedByServer()
    {
        char byte;
        ssize_t got = recv(fd_, &byte, 1, 0);
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }

private:
    bool receiveExactly(std::size_t count, std::string* into)
    {
        std::size_t start = into->size();
        into->resize(start + count);
        std::size_t done = 0;
        while (done < count) {
            ssize_t got = recv(fd_, &(*into)[start + done], count - done, 0);
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
};

uint16_t PackageIdOf(const std::string& reply)
{
    // A base client reads offset 112 only; our server may append its fast-mode
    // offer after byte 113.
    return reply.size() >= 114 ? wire::ReadLe16(reinterpret_cast<const uint8_t*>(reply.data()) + 112) : 0;
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
        ASSERT_EQ(0, RunProgram({MAKE_PACKAGE_BIN, "--name", "game", "--game", dir_ + "/game", "--system",
                                 dir_ + "/system", "--out", root_, "--id", "77"}));
    }
    static void TearDownTestSuite() { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Serial of a list path, from the package as the server sends it.
    static uint16_t SerialOf(Client& client, uint16_t id, const std::string& path)
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
    Server server(root_, {});
    ASSERT_NE(0, server.port());
    Client client(server.port());
    ASSERT_TRUE(client.connected());
    std::string reply = client.packageRequest("game");
    // The base reply, then the fast-mode offer after byte 113.
    ASSERT_EQ(wire::kOfferedPackageReplyBytes, reply.size());
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(reply.data());
    EXPECT_EQ(122, wire::ReadLe16(bytes));
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
    Server server(root_, {"--chunk", "1000"});
    Client client(server.port());
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
    EXPECT_EQ(ReadFile(root_ + "/game.cms"), package.payload);
}

TEST_F(ServerTest, ClosesOnAFrameThatIsNoRequest)
{
    Server server(root_, {});
    Client client(server.port());
    ASSERT_TRUE(client.connected());
    uint8_t frame[wire::kFileRequestBytes];
    wire::BuildFileRequest(frame, 77, 1, 0);
    frame[2] = 33;  // unknown code
    ASSERT_TRUE(client.sendBytes(frame, sizeof frame));
    EXPECT_TRUE(client.closedByServer());

    Client second(server.port());
    const uint8_t wrongSize[] = {7, 0, 34, 0, 0, 0, 1, 0, 0};
    ASSERT_TRUE(second.sendBytes(wrongSize, sizeof wrongSize));
    EXPECT_TRUE(second.closedByServer());

    Client third(server.port());  // the server goes on serving
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
            Client client(port);
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
    Server server(root_, {});
    ASSERT_NE(0, server.port());
    int failures = RunConcurrentClients(server.port(), [](Client& client, int i) {
        return PackageIdOf(client.packageRequest(i % 2 ? "game" : "nothing")) == (i % 2 ? 77 : 0xFFFF);
    });
    EXPECT_EQ(0, failures);
}

TEST_F(ServerTest, TwoHundredClientsFetchTheMegabyteFileAtOnce)
{
    Server server(root_, {});
    Client probe(server.port());
    const uint16_t serial = SerialOf(probe, 77, "/data/big.bin");
    ASSERT_NE(0, serial);
    const std::string& big = big_;
    int failures = RunConcurrentClients(server.port(), [&](Client& client, int) {
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
    Server server(root_, {}, 64);
    Client probe(server.port());
    const uint16_t serial = SerialOf(probe, 77, "/data/big.bin");
    ASSERT_NE(0, serial);
    const std::string& big = big_;
    int failures = RunConcurrentClients(server.port(), [&](Client& client, int) {
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

// Four loops share the port: every client is served by one of them, and one
// SIGTERM stops them all.
TEST_F(ServerTest, LoopsOnOnePortServeEveryClientAndStopTogether)
{
    Server server(root_, {"--loops", "4"});
    ASSERT_NE(0, server.port());
    int failures = RunConcurrentClients(server.port(), [](Client& client, int i) {
        return PackageIdOf(client.packageRequest("game")) == 77 &&
               ParseChunk(client.fileRequest(77, 0, 0)).payload == ReadFile(root_ + "/game.cms");
    });
    EXPECT_EQ(0, failures);
    EXPECT_EQ(0, server.stop());
}

TEST_F(ServerTest, ASecondServerOnTheSamePortIsRefused)
{
    Server server(root_, {"--loops", "2"});
    ASSERT_NE(0, server.port());
    // Bounded: a second server that shared the port would serve until killed.
    EXPECT_EQ(1, RunProgram({"/usr/bin/timeout", "10", UPDATE_SERVER_BIN, "--root", root_, "--port",
                             std::to_string(server.port()), "--loops", "2", "--quiet"}));
    EXPECT_EQ(0, server.stop());
}

TEST_F(ServerTest, RefusesTheSerialItIsToldTo)
{
    Server server(root_, {"--refuse-serial", "2"});
    Client client(server.port());
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
    Server server(root_, {"--drop-after", "10000", "--chunk", "4096"});
    uint16_t serial = 0;
    {
        Client probe(server.port());
        serial = SerialOf(probe, 77, "/data/big.bin");
    }
    ASSERT_NE(0, serial);
    std::string received;
    int connections = 0;
    bool done = false;
    while (!done && connections < 200) {
        Client client(server.port());
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

TEST_F(ServerTest, ServesTheNewBuildAfterARebuild)
{
    const std::string game = dir_ + "/rebuild";
    WriteFile(game + "/f.txt", "before");
    ASSERT_EQ(0, RunProgram({MAKE_PACKAGE_BIN, "--name", "live", "--game", game, "--out", root_}));
    Server server(root_, {});
    Client client(server.port());
    const uint16_t id = PackageIdOf(client.packageRequest("live"));
    ASSERT_NE(0xFFFF, id);
    EXPECT_EQ("before", ParseChunk(client.fileRequest(id, 1, 0)).payload);

    WriteFile(game + "/f.txt", "after!");
    ASSERT_EQ(0, RunProgram({MAKE_PACKAGE_BIN, "--name", "live", "--game", game, "--out", root_}));
    EXPECT_EQ(id, PackageIdOf(client.packageRequest("live")));
    EXPECT_EQ("after!", ParseChunk(client.fileRequest(id, 1, 0)).payload);
    // The other package kept its number through the rebuild.
    EXPECT_EQ(77, PackageIdOf(client.packageRequest("game")));
}

TEST_F(ServerTest, MakePackageRefusesWithStatusTwo)
{
    WriteFile(dir_ + "/bad/a,b.txt", "x");
    EXPECT_EQ(2, RunProgram({MAKE_PACKAGE_BIN, "--name", "bad", "--game", dir_ + "/bad", "--out", root_}));
    EXPECT_EQ(2, RunProgram({MAKE_PACKAGE_BIN, "--name", "bad", "--game", dir_ + "/game", "--out", root_,
                             "--id", "77"}));
    EXPECT_EQ(2, RunProgram({MAKE_PACKAGE_BIN, "--name", "bad", "--out", root_}));
    struct stat st;
    EXPECT_NE(0, lstat((root_ + "/bad.cms").c_str(), &st));
}

}  // namespace
