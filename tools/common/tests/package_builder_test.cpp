// make-package's builder and the server's catalogue and request handling,
// against real files in a temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <zlib.h>

#include "build_extras.h"
#include "client_session.h"
#include "mirror_list.h"
#include "files/block_sums.h"
#include "files/md5.h"
#include "files/update_list.h"
#include "list_format.h"
#include "net/frames.h"
#include "package_builder.h"
#include "package_catalog.h"
#include "package_codec.h"
#include "package_manifest.h"
#include "server_options.h"
#include "signing_key.h"
#include "text_encoding.h"
#include "wire_protocol.h"

namespace {

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/package_builder_test.XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::string dir = path.substr(0, path.rfind('/'));
    std::system(("mkdir -p '" + dir + "'").c_str());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

BuildStatus Build(const std::string& name, const std::string& game, const std::string& system,
                  const std::string& root, long id = -1, std::string* error = nullptr, long keep = kDefaultKeptBuilds)
{
    PackageBuildOptions options;
    options.keptBuilds = keep;
    options.name = name;
    options.gameDir = game;
    options.systemDir = system;
    options.outRoot = root;
    options.forcedId = id;
    PackageBuildResult result;
    std::string ignored;
    return BuildPackage(options, &result, error ? error : &ignored);
}

std::string InflatedList(const std::string& cmsPath)
{
    std::string list;
    EXPECT_TRUE(InflatePackage(ReadFile(cmsPath), kMaxListBytes, &list));
    return list;
}

// The payload a session leaves in its served file, as sendfile would send it.
std::string PendingPayload(const ClientSession& session)
{
    const PayloadPiece piece = session.pendingPayload();
    std::string bytes(piece.bytes, '\0');
    EXPECT_EQ(static_cast<ssize_t>(piece.bytes), pread(piece.fd, &bytes[0], piece.bytes, piece.offset));
    return bytes;
}

TEST(ListFormat, RecordLineIsReadBackByTheClientsParser)
{
    std::vector<ListRecord> records = {
        {"/data/a.dat", 1234, 0, "0123456789abcdef0123456789abcdef"},
        {"/x.dll", 2048, 1, "fedcba9876543210fedcba9876543210"},
        {"/empty", 0, 0, "d41d8cd98f00b204e9800998ecf8427e"},
    };
    const std::string text = FormatListText("pkg", records);
    std::istringstream lines(text);
    std::string line1, line2, line3, rest;
    std::getline(lines, line1);
    std::getline(lines, line2);
    std::getline(lines, line3);
    EXPECT_EQ("\\data\\a.dat,1234,0,0123456789abcdef0123456789abcdef,\\x.dll,2048,1,"
              "fedcba9876543210fedcba9876543210,\\empty,0,0,d41d8cd98f00b204e9800998ecf8427e\r",
              line3);
    EXPECT_FALSE(std::getline(lines, rest) && !rest.empty());

    TempDir dir;
    WriteFile(dir.path() + "/list.upd", text);
    std::vector<UpdateListEntry> parsed(kUpdateListCapacity);
    int32_t count = -1;
    readUpdateList((dir.path() + "/list.upd").c_str(), parsed.data(), &count);
    ASSERT_EQ(3, count);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(records[i].path, parsed[i].path);
        EXPECT_EQ(records[i].size, parsed[i].size);
        EXPECT_EQ(records[i].system, parsed[i].systemFile);
        EXPECT_EQ(records[i].md5, parsed[i].md5);
    }

    std::vector<ListRecord> mine = ParseListRecords(text, kMaxListFiles);
    ASSERT_EQ(3u, mine.size());
    for (std::size_t i = 0; i < mine.size(); ++i) {
        EXPECT_EQ(records[i].path, mine[i].path);
        EXPECT_EQ(records[i].size, mine[i].size);
        EXPECT_EQ(records[i].system, mine[i].system);
        EXPECT_EQ(records[i].md5, mine[i].md5);
    }
}

TEST(ListFormat, ParserKeepsTheClientsEdgeRules)
{
    auto parse = [](const std::string& line3) { return ParseListRecords("h1\nh2\n" + line3, 100); };
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse("no separator here").empty());
    // Cut before the md5 field: dropped; an empty md5 field still makes a record.
    EXPECT_TRUE(parse("\\a.dat,10,0").empty());
    auto emptyMd5 = parse("\\a.dat,10,0,");
    ASSERT_EQ(1u, emptyMd5.size());
    EXPECT_EQ("", emptyMd5[0].md5);
    auto longMd5 = parse("junk\\a\\b.dat, 42,1,0123456789abcdef0123456789abcdefXXXXXXXX,\\c,abc,0,ffff");
    ASSERT_EQ(2u, longMd5.size());
    EXPECT_EQ("/a/b.dat", longMd5[0].path);
    EXPECT_EQ(42, longMd5[0].size);
    EXPECT_EQ(1, longMd5[0].system);
    EXPECT_EQ("0123456789abcdef0123456789abcdef", longMd5[0].md5);
    EXPECT_EQ(0, longMd5[1].size);
    EXPECT_EQ(2u, ParseListRecords("h1\nh2\n\\a,1,0,x,\\b,1,0,y,\\c,1,0,z", 2).size());
}

TEST(ListFormat, PathChecks)
{
    EXPECT_EQ("", CheckListPath("/dir/file.dat"));
    EXPECT_EQ("", CheckListPath("/" + std::string(178, 'a')));
    EXPECT_NE("", CheckListPath("/" + std::string(179, 'a')));
    EXPECT_NE("", CheckListPath("/a,b"));
    EXPECT_NE("", CheckListPath("/a\\b"));
    EXPECT_NE("", CheckListPath("/a\tb"));
    EXPECT_NE("", CheckListPath("/a\x7f"));
    EXPECT_NE("", CheckListPath("relative"));
}

TEST(Manifest, NumbersStayStableAndNeverReachTheUnknownMarker)
{
    std::vector<ManifestEntry> entries;
    std::string error;
    uint16_t id = 0;
    ASSERT_TRUE(AssignPackageId(&entries, "alpha", -1, &id, &error));
    EXPECT_EQ(1, id);
    ASSERT_TRUE(AssignPackageId(&entries, "beta", -1, &id, &error));
    EXPECT_EQ(2, id);
    ASSERT_TRUE(AssignPackageId(&entries, "alpha", -1, &id, &error));
    EXPECT_EQ(1, id);
    EXPECT_FALSE(AssignPackageId(&entries, "gamma", 2, &id, &error));
    EXPECT_NE(std::string::npos, error.find("beta"));
    EXPECT_FALSE(AssignPackageId(&entries, "gamma", 0xFFFF, &id, &error));
    ASSERT_TRUE(AssignPackageId(&entries, "gamma", 65534, &id, &error));
    EXPECT_EQ(65534, id);
    // The highest number is taken: the lowest free one comes next.
    ASSERT_TRUE(AssignPackageId(&entries, "delta", -1, &id, &error));
    EXPECT_EQ(3, id);

    std::vector<ManifestEntry> reread;
    ASSERT_TRUE(ParseManifest(FormatManifest(entries), &reread, &error)) << error;
    ASSERT_EQ(entries.size(), reread.size());
    for (const ManifestEntry& entry : entries) {
        uint16_t again = 0;
        ASSERT_TRUE(AssignPackageId(&reread, entry.name, -1, &again, &error));
        EXPECT_EQ(entry.id, again) << entry.name;
    }
}

TEST(Manifest, RejectsMalformedLines)
{
    std::vector<ManifestEntry> entries;
    std::string error;
    EXPECT_TRUE(ParseManifest("# comment\n\n5 five\r\n6 six\n", &entries, &error));
    EXPECT_EQ(2u, entries.size());
    EXPECT_FALSE(ParseManifest("65535 full\n", &entries, &error));
    EXPECT_FALSE(ParseManifest("1 a\n1 b\n", &entries, &error));
    EXPECT_FALSE(ParseManifest("1 a\n2 a\n", &entries, &error));
    EXPECT_FALSE(ParseManifest("x a\n", &entries, &error));
    EXPECT_FALSE(ParseManifest("1 a b\n", &entries, &error));
    EXPECT_NE("", CheckPackageName(std::string(100, 'n')));
    EXPECT_EQ("", CheckPackageName(std::string(99, 'n')));
    EXPECT_NE("", CheckPackageName("a/b"));
    EXPECT_NE("", CheckPackageName("game.cms"));
    EXPECT_NE("", CheckPackageName("packages.txt"));
}

TEST(PackageBuilder, BuildsListPackageLayoutAndManifest)
{
    TempDir dir;
    const std::string game = dir.path() + "/game";
    const std::string sys = dir.path() + "/sys";
    const std::string root = dir.path() + "/root";
    WriteFile(game + "/b.txt", "abc");
    WriteFile(game + "/a/z.bin", std::string(5000, 'z'));
    WriteFile(game + "/empty", "");
    WriteFile(game + "/\xE4\xB8\xAD.txt", "zh");  // UTF-8 for the character zhong
    WriteFile(sys + "/x.dll", "dll");
    ASSERT_EQ(BuildStatus::Built, Build("pkg", game, sys, root));

    std::vector<ListRecord> records = ParseListRecords(InflatedList(root + "/pkg.cms"), kMaxListFiles + 1);
    ASSERT_EQ(5u, records.size());
    // Byte order of the names, depth first, game tree before system tree;
    // names reach the list in code page 936.
    EXPECT_EQ("/a/z.bin", records[0].path);
    EXPECT_EQ("/b.txt", records[1].path);
    EXPECT_EQ("/empty", records[2].path);
    EXPECT_EQ("/\xD6\xD0.txt", records[3].path);
    EXPECT_EQ("/x.dll", records[4].path);
    EXPECT_EQ(5000, records[0].size);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", records[1].md5);
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", records[2].md5);
    EXPECT_EQ(0, records[3].system);
    EXPECT_EQ(1, records[4].system);
    EXPECT_EQ("abc", ReadFile(root + "/pkg/files/b.txt"));
    EXPECT_EQ("dll", ReadFile(root + "/pkg/system/x.dll"));
    EXPECT_EQ("zh", ReadFile(root + "/pkg/files/\xD6\xD0.txt"));
    EXPECT_FALSE(Exists(root + "/.http"));  // mirrors take only signed builds
    // A terminal shows a list path in its own encoding, as --verbose prints it.
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ("/\xE4\xB8\xAD.txt", ListPathForTerminal(records[3].path));
    unsetenv("LC_ALL");

    std::vector<ManifestEntry> manifest;
    std::string error;
    ASSERT_TRUE(ReadManifest(root + "/" + kManifestFileName, &manifest, &error));
    ASSERT_EQ(1u, manifest.size());
    EXPECT_EQ("pkg", manifest[0].name);
}

TEST(PackageBuilder, RebuildKeepsNumberSwitchesBuildAndPrunesOldOnes)
{
    TempDir dir;
    const std::string game = dir.path() + "/game";
    const std::string root = dir.path() + "/root";
    WriteFile(game + "/f", "one");
    ASSERT_EQ(BuildStatus::Built, Build("first", game, "", root, 40));
    ASSERT_EQ(BuildStatus::Built, Build("second", game, "", root));
    WriteFile(game + "/f", "two");
    ASSERT_EQ(BuildStatus::Built, Build("first", game, "", root));
    WriteFile(game + "/f", "three");
    ASSERT_EQ(BuildStatus::Built, Build("first", game, "", root));
    EXPECT_TRUE(Exists(root + "/.store/first/1"));  // within the default five
    ASSERT_EQ(BuildStatus::Built, Build("first", game, "", root, -1, nullptr, 2));

    EXPECT_EQ("three", ReadFile(root + "/first/files/f"));
    EXPECT_FALSE(Exists(root + "/.store/first/1"));
    EXPECT_FALSE(Exists(root + "/.store/first/2"));
    EXPECT_TRUE(Exists(root + "/.store/first/3"));  // a server may still read the previous build
    EXPECT_EQ("three", ReadFile(root + "/.store/first/3/files/f"));

    std::string error;
    EXPECT_EQ(BuildStatus::Refused, Build("third", game, "", root, 41, &error));
    EXPECT_NE(std::string::npos, error.find("second")) << error;
    std::vector<ManifestEntry> manifest;
    ASSERT_TRUE(ReadManifest(root + "/" + kManifestFileName, &manifest, &error));
    ASSERT_EQ(2u, manifest.size());
    EXPECT_EQ(40, manifest[0].id);
    EXPECT_EQ("first", manifest[0].name);
    EXPECT_EQ(41, manifest[1].id);
    EXPECT_EQ("second", manifest[1].name);
}

TEST(PackageBuilder, RefusesWhatTheListCannotHold)
{
    TempDir dir;
    const std::string root = dir.path() + "/root";
    auto refused = [&](const std::string& game) {
        std::string error;
        BuildStatus status = Build("pkg", game, "", root, -1, &error);
        EXPECT_EQ(status == BuildStatus::Built, error.empty()) << error;
        return status == BuildStatus::Refused;
    };
    WriteFile(dir.path() + "/comma/a,b.txt", "x");
    EXPECT_TRUE(refused(dir.path() + "/comma"));
    WriteFile(dir.path() + "/control/a\x01.txt", "x");
    EXPECT_TRUE(refused(dir.path() + "/control"));
    WriteFile(dir.path() + "/backslash/a\\b.txt", "x");
    EXPECT_TRUE(refused(dir.path() + "/backslash"));
    WriteFile(dir.path() + "/latin1/caf\xE9.txt", "x");  // not UTF-8
    EXPECT_TRUE(refused(dir.path() + "/latin1"));
    const std::string deep = dir.path() + "/long/" + std::string(100, 'd') + "/" + std::string(79, 'f');
    WriteFile(deep, "x");  // list path of 181 characters
    EXPECT_TRUE(refused(dir.path() + "/long"));

    const std::string many = dir.path() + "/many";
    std::system(("mkdir -p '" + many + "' && cd '" + many + "' && seq 1 4400 | xargs touch").c_str());
    EXPECT_TRUE(refused(many));
    std::remove((many + "/4400").c_str());
    EXPECT_FALSE(refused(many));

    // 1500 records of about 210 bytes: over 300000 bytes of list.
    const std::string wide = dir.path() + "/wide";
    std::system(("mkdir -p '" + wide + "' && cd '" + wide + "' && for i in $(seq 1000 2499); do : > " +
                 std::string(160, 'w') + "$i; done")
                    .c_str());
    EXPECT_TRUE(refused(wide));

    // Each file fits a record, but together they overflow a run's 32-bit
    // byte counters; sparse files make the sizes without the bytes.
    const std::string big = dir.path() + "/big";
    std::system(("mkdir -p '" + big + "' && truncate -s 1500M '" + big + "/a.pak' '" + big + "/b.pak'").c_str());
    std::string error;
    EXPECT_EQ(BuildStatus::Refused, Build("pkg", big, "", root, -1, &error));
    EXPECT_NE(std::string::npos, error.find("2147483647")) << error;

    EXPECT_TRUE(refused(dir.path() + "/missing"));
    // Only the one good build reached the root.
    std::vector<ManifestEntry> manifest;
    ASSERT_TRUE(ReadManifest(root + "/" + kManifestFileName, &manifest, &error));
    EXPECT_EQ(1u, manifest.size());
}

TEST(WireProtocol, ParsesTheClientsFrames)
{
    uint8_t frame[kPackageRequestSize];
    const std::string longName(120, 'L');
    buildPackageRequest(frame, longName.c_str());
    wire::ParsedRequest request = wire::ParseRequest(frame, sizeof frame);
    ASSERT_EQ(wire::RequestKind::Package, request.kind);
    EXPECT_EQ(std::string(99, 'L'), request.packageName);
    buildPackageRequest(frame, "game");
    EXPECT_EQ("game", wire::ParseRequest(frame, sizeof frame).packageName);
    EXPECT_EQ(wire::RequestKind::Incomplete, wire::ParseRequest(frame, 113).kind);
    EXPECT_EQ(1u, wire::MissingRequestBytes(frame, 113));

    uint8_t file[kFileRequestSize];
    buildFileRequest(file, 0x1234, 0xBEEF, 0x01020304);
    request = wire::ParseRequest(file, sizeof file);
    ASSERT_EQ(wire::RequestKind::File, request.kind);
    EXPECT_EQ(0x1234, request.packageId);
    EXPECT_EQ(0xBEEF, request.serial);
    EXPECT_EQ(0x01020304u, request.offset);

    file[2] = 32;  // a package code in a file-sized frame
    EXPECT_EQ(wire::RequestKind::Invalid, wire::ParseRequest(file, sizeof file).kind);
    uint8_t odd[2] = {5, 0};
    EXPECT_EQ(wire::RequestKind::Invalid, wire::ParseRequest(odd, 2).kind);
    EXPECT_EQ(0u, wire::MissingRequestBytes(odd, 2));
}

class CatalogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        game_ = dir_.path() + "/game";
        root_ = dir_.path() + "/root";
        WriteFile(game_ + "/ten.bin", "0123456789");
        WriteFile(game_ + "/zero", "");
        ASSERT_EQ(BuildStatus::Built, Build("pkg", game_, "", root_, 9));
        std::vector<std::string> messages;
        ASSERT_TRUE(catalog_.Refresh(&messages));
    }

    wire::ParsedRequest FileRequest(uint16_t id, uint16_t serial, uint32_t offset)
    {
        uint8_t frame[kFileRequestSize];
        buildFileRequest(frame, id, serial, offset);
        return wire::ParseRequest(frame, sizeof frame);
    }

    std::string Answer(const wire::ParsedRequest& request, const SessionRules& rules, uint8_t* flag,
                       const PackageCatalog* catalog = nullptr)
    {
        uint8_t reply[wire::kMaxReplyBytes];
        std::size_t payload = 0;
        std::string line;
        std::size_t length = AnswerRequest(request, catalog ? *catalog : catalog_, rules, reply, &payload, &line);
        EXPECT_EQ(length, static_cast<std::size_t>(wire::ReadLe16(reply)) + 2);
        EXPECT_EQ(payload + 3, length);
        *flag = reply[2];
        return std::string(reinterpret_cast<char*>(reply) + 3, payload);
    }

    wire::FastOffer OfferOf(const PackageCatalog& catalog, const SessionRules& rules)
    {
        uint8_t frame[kPackageRequestSize], reply[wire::kMaxReplyBytes];
        std::size_t payload = 0;
        std::string line;
        buildPackageRequest(frame, "pkg");
        AnswerRequest(wire::ParseRequest(frame, sizeof frame), catalog, rules, reply, &payload, &line);
        return wire::ReadOffer(reply, wire::kOfferedPackageReplyBytes);
    }

    PackageBuildResult Rebuild(const std::string& keyPath = "")
    {
        PackageBuildOptions options;
        options.name = "pkg", options.gameDir = game_, options.outRoot = root_, options.signing.keyPath = keyPath;
        PackageBuildResult result;
        std::string error;
        EXPECT_EQ(BuildStatus::Built, BuildPackage(options, &result, &error)) << error;
        return result;
    }

    TempDir dir_;
    std::string game_;
    std::string root_;
    PackageCatalog catalog_{dir_.path() + "/root"};
};

TEST_F(CatalogTest, PackageReplyCarriesTheNumber)
{
    uint8_t frame[kPackageRequestSize];
    uint8_t reply[wire::kMaxReplyBytes];
    std::size_t payload = 0;
    std::string line;
    for (const char* name : {"pkg", "nope"}) {
        buildPackageRequest(frame, name);
        std::memset(reply, 0xAA, sizeof reply);
        ASSERT_EQ(114u, AnswerRequest(wire::ParseRequest(frame, sizeof frame), catalog_, SessionRules(), reply,
                                      &payload, &line));
        EXPECT_EQ(112, wire::ReadLe16(reply));
        EXPECT_EQ(std::string(name) == "pkg" ? 9 : 0xFFFF, wire::ReadLe16(reply + 112));
        for (int i = 2; i < 112; ++i) ASSERT_EQ(0, reply[i]) << i;
    }
}

TEST_F(CatalogTest, ChunksWalkTheFileWithFlags)
{
    SessionRules rules;
    rules.chunkPayload = 4;
    uint8_t flag = 9;
    std::string whole;
    std::vector<int> flags;
    uint32_t offset = 0;
    for (int i = 0; i < 10 && (flags.empty() || flags.back() == 1); ++i) {
        std::string piece = Answer(FileRequest(9, 1, offset), rules, &flag);
        flags.push_back(flag);
        whole += piece;
        offset += static_cast<uint32_t>(piece.size());
    }
    EXPECT_EQ((std::vector<int>{1, 1, 2}), flags);
    EXPECT_EQ("0123456789", whole);

    EXPECT_EQ("", Answer(FileRequest(9, 1, 10), rules, &flag));
    EXPECT_EQ(2, flag);
    EXPECT_EQ("", Answer(FileRequest(9, 1, 11), rules, &flag));
    EXPECT_EQ(0, flag);
    EXPECT_EQ("", Answer(FileRequest(9, 2, 0), rules, &flag));  // the empty file
    EXPECT_EQ(2, flag);
    EXPECT_EQ("", Answer(FileRequest(9, 3, 0), rules, &flag));
    EXPECT_EQ(0, flag);
    EXPECT_EQ("", Answer(FileRequest(8, 1, 0), rules, &flag));
    EXPECT_EQ(0, flag);

    rules.chunkPayload = wire::kMaxChunkPayload;
    EXPECT_EQ(ReadFile(root_ + "/pkg.cms"), Answer(FileRequest(9, 0, 0), rules, &flag));
    EXPECT_EQ(2, flag);
    rules.refuseSerial = 0;
    EXPECT_EQ("", Answer(FileRequest(9, 0, 0), rules, &flag));
    EXPECT_EQ(0, flag);
}

TEST_F(CatalogTest, ReloadsWhenThePackageIsRebuilt)
{
    SessionRules rules;
    uint8_t flag = 0;
    std::vector<std::string> messages;
    EXPECT_FALSE(catalog_.Refresh(&messages));
    WriteFile(game_ + "/ten.bin", "changed");
    WriteFile(game_ + "/added", "new");
    ASSERT_EQ(BuildStatus::Built, Build("pkg", game_, "", root_));
    ASSERT_EQ(BuildStatus::Built, Build("more", game_, "", root_));
    EXPECT_TRUE(catalog_.Refresh(&messages));
    EXPECT_EQ(9, catalog_.FindPackage("pkg"));
    EXPECT_EQ(10, catalog_.FindPackage("more"));
    EXPECT_EQ(3u, catalog_.fileCount(9));
    EXPECT_EQ("new", Answer(FileRequest(9, 1, 0), rules, &flag));
    EXPECT_EQ("changed", Answer(FileRequest(9, 2, 0), rules, &flag));
}

TEST_F(CatalogTest, SessionTakesOneRequestAtATimeAndDropsWhenTold)
{
    SessionRules rules;
    rules.chunkPayload = 4;
    rules.dropAfter = 6;
    ClientSession session;
    uint8_t frame[kFileRequestSize];
    buildFileRequest(frame, 9, 1, 0);
    std::string line;
    for (std::size_t i = 0; i + 1 < sizeof frame; ++i) {
        ASSERT_EQ(sizeof frame - i, session.receiveWanted());
        *session.receiveSpace() = frame[i];
        ASSERT_EQ(ClientSession::Step::NeedMore, session.onReceived(1, catalog_, rules, &line));
    }
    *session.receiveSpace() = frame[sizeof frame - 1];
    ASSERT_EQ(ClientSession::Step::ReplyReady, session.onReceived(1, catalog_, rules, &line));
    EXPECT_EQ(0u, session.receiveWanted());  // nothing more is read while a reply waits
    // The header first; the payload stays in the served file until it is sent.
    ASSERT_EQ(3u, session.pendingBytes());
    EXPECT_EQ(0, std::memcmp(session.pendingReply(), "\x05\x00\x01", 3));
    EXPECT_FALSE(session.onSent(2));
    EXPECT_FALSE(session.onSent(2));  // the last header byte and the first of the payload
    EXPECT_EQ(0u, session.pendingBytes());
    EXPECT_EQ("123", PendingPayload(session));
    EXPECT_TRUE(session.onSent(3));
    // A package request is read as a file request's length, then its rest.
    ClientSession other;
    uint8_t package[kPackageRequestSize];
    buildPackageRequest(package, "pkg");
    std::memcpy(other.receiveSpace(), package, other.receiveWanted());
    ASSERT_EQ(ClientSession::Step::NeedMore, other.onReceived(sizeof frame, catalog_, rules, &line));
    EXPECT_EQ(sizeof package - sizeof frame, other.receiveWanted());
    EXPECT_FALSE(session.replyPending());
    EXPECT_FALSE(session.dropDue());

    buildFileRequest(frame, 9, 1, 4);
    std::memcpy(session.receiveSpace(), frame, 2);
    session.onReceived(2, catalog_, rules, &line);
    std::memcpy(session.receiveSpace(), frame + 2, sizeof frame - 2);
    ASSERT_EQ(ClientSession::Step::ReplyReady, session.onReceived(sizeof frame - 2, catalog_, rules, &line));
    EXPECT_TRUE(session.dropDue());

    ClientSession bad;
    const uint8_t wrongSize[2] = {19, 0};
    std::memcpy(bad.receiveSpace(), wrongSize, 2);
    EXPECT_EQ(ClientSession::Step::Close, bad.onReceived(2, catalog_, rules, &line));
}

TEST_F(CatalogTest, FastModeOfferAndChunkSizes)
{
    SessionRules rules;
    rules.chunkPayload = 3;
    rules.fastChunkPayload = 4;
    rules.fastWindow = 5;
    uint8_t frame[kPackageRequestSize];
    std::vector<uint8_t> reply(70000, 0xAA);
    std::size_t payload = 0;
    std::string line;
    buildPackageRequest(frame, "pkg");
    ASSERT_EQ(wire::kOfferedPackageReplyBytes,
              AnswerRequest(wire::ParseRequest(frame, sizeof frame), catalog_, rules, reply.data(), &payload, &line));
    EXPECT_EQ(146, wire::ReadLe16(reply.data()));
    EXPECT_EQ(9, wire::ReadLe16(reply.data() + 112));
    for (int i = 2; i < 112; ++i) ASSERT_EQ(0, reply[i]) << i;
    wire::FastOffer offer = wire::ReadOffer(reply.data(), wire::kOfferedPackageReplyBytes);
    EXPECT_EQ(4, offer.version);
    ASSERT_TRUE(offer.hasBuild);  // the digest the client computes for the list
    uint8_t listDigest[16];
    const std::string list = InflatedList(root_ + "/pkg.cms");
    Md5Context md5;
    Md5Init(&md5);
    Md5Update(&md5, reinterpret_cast<const uint8_t*>(list.data()), list.size());
    Md5Final(listDigest, &md5);
    EXPECT_EQ(0, std::memcmp(listDigest, offer.build, 16));
    EXPECT_EQ(4, offer.maxChunkPayload);
    EXPECT_EQ(5, offer.maxInFlight);
    EXPECT_EQ(0, wire::ReadOffer(reply.data(), wire::kPackageReplyBytes).maxChunkPayload);
    buildPackageRequest(frame, "nope");  // no offer with a refusal
    EXPECT_EQ(wire::kPackageReplyBytes,
              AnswerRequest(wire::ParseRequest(frame, sizeof frame), catalog_, rules, reply.data(), &payload, &line));

    // 0 asks for the server's own chunk; any other size is bounded by the offer.
    const std::vector<std::pair<uint32_t, std::size_t>> sizes = {{0, 3}, {1, 1}, {4, 4}, {65534, 4}};
    for (const auto& [wanted, expected] : sizes) {
        uint8_t request[kFileRequestSize];
        wire::BuildFileRequest(request, 9, 1, 2, wanted);
        wire::ParsedRequest parsed = wire::ParseRequest(request, sizeof request);
        EXPECT_EQ(wanted, parsed.wantedPayload);
        EXPECT_EQ(expected + 3, AnswerRequest(parsed, catalog_, rules, reply.data(), &payload, &line)) << wanted;
        EXPECT_EQ(0, std::memcmp(reply.data() + 3, std::string("23456789").data(), expected)) << wanted;
    }
    // A server without the offer ignores the field.
    rules.fastChunkPayload = 0;
    uint8_t request[kFileRequestSize];
    wire::BuildFileRequest(request, 9, 1, 0, 65534);
    EXPECT_EQ(6u, AnswerRequest(wire::ParseRequest(request, sizeof request), catalog_, rules, reply.data(), &payload,
                                &line));
}

TEST_F(CatalogTest, SessionKeepsTheFileOfTheBuildItBeganIn)
{
    SessionRules rules;
    rules.chunkPayload = 4;
    ClientSession session;
    std::string line;
    auto ask = [&](uint16_t serial, uint32_t offset) {
        uint8_t frame[kFileRequestSize];
        buildFileRequest(frame, 9, serial, offset);
        std::memcpy(session.receiveSpace(), frame, sizeof frame);
        EXPECT_EQ(ClientSession::Step::ReplyReady, session.onReceived(sizeof frame, catalog_, rules, &line));
        EXPECT_EQ(3u, session.pendingBytes());
        EXPECT_FALSE(session.onSent(3));
        std::string piece = PendingPayload(session);
        EXPECT_TRUE(session.onSent(piece.size()));
        return piece;
    };
    EXPECT_EQ("0123", ask(1, 0));
    WriteFile(game_ + "/ten.bin", "abcdefghij");
    ASSERT_EQ(BuildStatus::Built, Build("pkg", game_, "", root_));
    std::vector<std::string> messages;
    ASSERT_TRUE(catalog_.Refresh(&messages));
    // The file under way comes whole from its build; the next one starts anew.
    EXPECT_EQ("4567", ask(1, 4));
    EXPECT_EQ("89", ask(1, 8));
    EXPECT_EQ("abcd", ask(1, 0));
}

TEST_F(CatalogTest, ARunIsServedFromItsBuildWhileTheServerHoldsIt)
{
    SessionRules rules;
    rules.chunkPayload = rules.fastChunkPayload = 4;
    std::string line;
    std::vector<std::string> messages;
    auto exchange = [&](ClientSession& session, const uint8_t* frame, std::size_t size) {
        std::memcpy(session.receiveSpace(), frame, size);
        EXPECT_EQ(ClientSession::Step::ReplyReady, session.onReceived(size, catalog_, rules, &line));
        std::string reply(reinterpret_cast<const char*>(session.pendingReply()), session.pendingBytes());
        session.onSent(reply.size());
        const std::string payload = session.replyPending() ? PendingPayload(session) : "";
        session.onSent(payload.size());
        return reply + payload;
    };
    auto askPackage = [&](ClientSession& session, uint32_t tag) {
        uint8_t frame[kPackageRequestSize];
        wire::BuildPackageRequest(frame, "pkg", tag);
        const std::string reply = exchange(session, frame, sizeof frame);
        return std::string(reply, 124, 16);  // the build named by the offer
    };
    auto askFile = [&](ClientSession& session, uint16_t serial, uint32_t offset) {
        uint8_t frame[kFileRequestSize];
        buildFileRequest(frame, 9, serial, offset);
        return exchange(session, frame, sizeof frame).substr(2);  // flag and payload
    };
    auto tagOf = [](const std::string& digest) { return wire::BuildTagOf(reinterpret_cast<const uint8_t*>(digest.data())); };

    ClientSession first, resumed, fresh, late;
    const std::string firstBuild = askPackage(first, 0);
    EXPECT_NE(std::string::npos, first.buildLabel().find("build 1 list ")) << first.buildLabel();
    WriteFile(game_ + "/ten.bin", "abcdefghij");
    ASSERT_EQ(BuildStatus::Built, Build("pkg", game_, "", root_));
    ASSERT_TRUE(catalog_.Refresh(&messages));
    EXPECT_EQ(std::string("\x01") + "0123", askFile(first, 1, 0));
    // After a reconnect the run names its build and is served from it.
    EXPECT_EQ(firstBuild, askPackage(resumed, tagOf(firstBuild)));
    EXPECT_EQ(std::string("\x01") + "4567", askFile(resumed, 1, 4));
    const std::string secondBuild = askPackage(fresh, 0);
    EXPECT_NE(firstBuild, secondBuild);
    EXPECT_EQ(std::string("\x01") + "abcd", askFile(fresh, 1, 0));
    EXPECT_NE(std::string::npos, catalog_.BuildLabel(9).find("build 2 list ")) << catalog_.BuildLabel(9);
    EXPECT_EQ(2u, catalog_.Builds().size());

    // A server started since finds build 1 on the disk, its package file too.
    PackageCatalog restarted{root_};
    ASSERT_TRUE(restarted.Refresh(&messages));
    ASSERT_TRUE(restarted.FindBuild(9, tagOf(firstBuild)));
    unsigned long long size = 0;
    const int fd = restarted.FindBuild(9, tagOf(firstBuild))->OpenFile(0, &size);
    EXPECT_EQ(ReadFile(root_ + "/.store/pkg/1/pkg.cms").size(), size);
    close(fd);

    // Build 1 removed: its runs get refusals, never a file of another build.
    ASSERT_EQ(BuildStatus::Built, Build("pkg", game_, "", root_, -1, nullptr, 2));
    ASSERT_TRUE(catalog_.Refresh(&messages));
    EXPECT_EQ(std::string("\x00", 1), askFile(first, 2, 0));
    EXPECT_EQ(secondBuild, askPackage(late, tagOf(secondBuild)));
    EXPECT_EQ(secondBuild, askPackage(late, tagOf(firstBuild)));  // gone: the current one, named
    EXPECT_NE(std::string::npos, line.find("(not held)")) << line;
}

TEST_F(CatalogTest, ASignedBuildServesItsManifestSignatureAndMirrors)
{
    SessionRules rules, noMirrors;
    rules.chunkPayload = rules.fastChunkPayload = noMirrors.chunkPayload = noMirrors.fastChunkPayload = 50;
    std::string publicKey, error;
    const std::string mirrors = "http://mirror-one.example/game/\nhttps://cdn.example/";  // two chunks
    rules.mirrors = MirrorList::Create({"http://mirror-one.example/game/", "https://cdn.example/"}, &error);
    ASSERT_TRUE(WriteNewSigningKey(dir_.path() + "/key.pem", &publicKey, &error)) << error;
    Rebuild(dir_.path() + "/key.pem");
    const std::string manifest = ReadFile(root_ + "/pkg.manifest"), signature = ReadFile(root_ + "/pkg.sig");
    // Signed, then half signed (served as not signed, with one line saying why).
    for (bool half : {false, true}) {
        if (half) unlink((root_ + "/.store/pkg/2/pkg.sig").c_str());
        PackageCatalog catalog{root_};
        std::vector<std::string> messages;
        ASSERT_TRUE(catalog.Refresh(&messages));
        EXPECT_EQ(half, std::count_if(messages.begin(), messages.end(), [](const std::string& m) {
                            return m.find("build 2 list ") != std::string::npos && m.find("not signed") != std::string::npos;
                        }) == 1);
        EXPECT_EQ(half ? Signing::Half : Signing::Yes, catalog.CurrentBuild(9)->signing);
        const wire::FastOffer offer = OfferOf(catalog, rules);
        EXPECT_EQ(half ? 0 : manifest.size(), offer.manifestBytes);
        EXPECT_EQ(half ? 0 : 64, offer.signatureBytes);
        // Signing leaves the other features as they were; mirrors only with a signed build.
        EXPECT_EQ(wire::kFeatureBlockSums | wire::kFeatureDeflate | (half ? 0 : wire::kFeatureMirrors), offer.features);
        EXPECT_EQ(wire::kFeatureBlockSums | wire::kFeatureDeflate, OfferOf(catalog, noMirrors).features);
        // Like a file, chunk by chunk; flag 0 where the build has none.
        for (const auto& [serial, expected] : {std::make_pair(wire::kManifestSerial, manifest),
                                              std::make_pair(wire::kSignatureSerial, signature),
                                              std::make_pair(wire::kMirrorListSerial, mirrors)}) {
            std::string whole;
            uint8_t flag = 1, frame[kFileRequestSize];
            for (uint32_t offset = 0; flag == 1; offset += 50) {
                wire::BuildFileRequest(frame, 9, serial, offset, 50);
                whole += Answer(wire::ParseRequest(frame, sizeof frame), rules, &flag, &catalog);
            }
            EXPECT_EQ(half ? 0 : 2, flag) << serial;
            EXPECT_EQ(half ? "" : expected, whole) << serial;
        }
        // The list goes to a fast-mode request only, and only when there is one.
        for (const auto& [wanted, served, expected] : {std::make_tuple(50u, &rules, half ? "" : mirrors.substr(0, 50)),
                                                      std::make_tuple(0u, &rules, std::string()),
                                                      std::make_tuple(50u, &noMirrors, std::string())}) {
            uint8_t flag = 9, frame[kFileRequestSize];
            wire::BuildFileRequest(frame, 9, wire::kMirrorListSerial, 0, wanted);
            ClientSession session;
            std::string line;
            std::memcpy(session.receiveSpace(), frame, sizeof frame);
            ASSERT_EQ(ClientSession::Step::ReplyReady, session.onReceived(sizeof frame, catalog, *served, &line));
            EXPECT_EQ(expected.empty() ? 0 : 1, session.pendingReply()[2]) << wanted;
            session.onSent(session.pendingBytes());
            EXPECT_EQ(expected, session.replyPending() ? PendingPayload(session) : "") << wanted;
            EXPECT_EQ(expected, Answer(wire::ParseRequest(frame, sizeof frame), *served, &flag, &catalog)) << wanted;
        }
    }
}

TEST_F(CatalogTest, BlockSumsAndDeflatedChunksServeOnlyTheFastMode)
{
    std::string text, noise;
    for (int i = 0; text.size() < 200000; ++i) text += "key" + std::to_string(i) + "=value\n";
    uint32_t seed = 17;
    while (noise.size() < 100000) noise += static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
    WriteFile(game_ + "/noise.bin", noise);  // serial 1; ten.bin 2, text.txt 3, zero 4
    WriteFile(game_ + "/text.txt", text);
    ASSERT_EQ(BuildStatus::Built, Build("pkg", game_, "", root_));
    std::vector<std::string> messages;
    ASSERT_TRUE(catalog_.Refresh(&messages));
    const std::string build = root_ + "/.store/pkg/2/";
    EXPECT_EQ("3\n", ReadFile(build + kDeflateListName));
    EXPECT_FALSE(Exists(build + SumsPathOf(2)));
    EXPECT_TRUE(Exists(build + DeflatedPathOf(3)));
    EXPECT_FALSE(Exists(build + DeflatedPathOf(1)));
    const std::string table = ReadFile(build + SumsPathOf(3));
    BlockSums sums;
    ASSERT_TRUE(ParseBlockSums(reinterpret_cast<const uint8_t*>(table.data()), table.size(), &sums));
    EXPECT_EQ(text.size(), sums.fileSize);
    EXPECT_EQ(ChooseSumBlock(text.size()), sums.blockSize);

    SessionRules on, noSums, noDeflate;
    on.fastChunkPayload = noSums.fastChunkPayload = noDeflate.fastChunkPayload = 65534;
    noSums.blockSums = false;
    noDeflate.deflate = false;
    for (const auto& [rules, features] : {std::pair{on, 3}, {noSums, 2}, {noDeflate, 1}})
        EXPECT_EQ(features, OfferOf(catalog_, rules).features);

    // Both the session and the stateless answer give the same frames: flag,
    // then the raw payload, or the raw count and a stream that inflates to it.
    const uint32_t deflated = wire::kWantDeflated;
    const struct {
        const SessionRules& rules;
        uint16_t serial;
        uint32_t wanted;
        uint8_t flag;
        std::string raw;
    } rows[] = {
        {on, 0x8003, 65534, 2, table},
        {on, 0x8003, 0, 0, ""},          // a base request never gets a table
        {noSums, 0x8003, 65534, 0, ""},
        {on, 0x8002, 65534, 0, ""},      // too small for a table
        {on, 0xFFFE, 65534, 0, ""},      // reserved, not a table
        {on, 3, 65534 | deflated, 0x11, text.substr(0, 65534)},  // stored by make-package
        {on, 3, 1000 | deflated, 1, text.substr(0, 1000)},  // no stored piece: never deflated on the spot
        {on, 3, 65534, 1, text.substr(0, 65534)},
        {on, 3, deflated, 1, text.substr(0, 10237)},  // no size: a base request
        {noDeflate, 3, 65534 | deflated, 1, text.substr(0, 65534)},
        {on, 1, 65534 | deflated, 1, noise.substr(0, 65534)},  // not marked
    };
    for (const auto& row : rows) {
        uint8_t frame[kFileRequestSize];
        wire::BuildFileRequest(frame, 9, row.serial, 0, row.wanted);
        ClientSession session;
        std::string line;
        std::memcpy(session.receiveSpace(), frame, sizeof frame);
        ASSERT_EQ(ClientSession::Step::ReplyReady, session.onReceived(sizeof frame, catalog_, row.rules, &line));
        EXPECT_EQ(row.flag == 0x11 && row.raw.size() == 65534, line.find("stored") != std::string::npos) << line;
        std::string reply(reinterpret_cast<const char*>(session.pendingReply()), session.pendingBytes());
        session.onSent(reply.size());
        reply += session.replyPending() ? PendingPayload(session) : "";
        std::vector<uint8_t> stateless(70000);
        std::size_t payload = 0;
        stateless.resize(AnswerRequest(wire::ParseRequest(frame, sizeof frame), catalog_, row.rules,
                                       stateless.data(), &payload, &line));
        const std::string label = std::to_string(row.serial) + " wanting " + std::to_string(row.wanted);
        EXPECT_EQ(reply, std::string(stateless.begin(), stateless.end())) << label;
        ASSERT_EQ(row.flag, static_cast<uint8_t>(reply[2])) << label;
        std::string raw = reply.substr(3);
        if (row.flag & wire::kChunkDeflatedBit) {
            uLongf rawBytes = wire::ReadLe32(reinterpret_cast<const uint8_t*>(&reply[3]));
            raw.assign(rawBytes, '\0');
            ASSERT_EQ(Z_OK, uncompress(reinterpret_cast<Bytef*>(&raw[0]), &rawBytes,
                                       reinterpret_cast<const Bytef*>(&reply[7]), reply.size() - 7));
            EXPECT_LT(reply.size(), 3 + row.raw.size()) << label;
        }
        EXPECT_EQ(row.raw, raw) << label;
    }

    // A player of build 2 fetches the table and the blocks around the change;
    // one of build 1, which had neither file, fetches both whole.
    text.replace(100000, 100, std::string(100, '#'));
    WriteFile(game_ + "/text.txt", text);
    const PackageBuildResult result = Rebuild();
    ASSERT_EQ(2u, result.patches.size());
    EXPECT_EQ(2, result.patches[0].fromGeneration);
    EXPECT_EQ(1u, result.patches[0].changedFiles);
    EXPECT_EQ(text.size(), result.patches[0].wholeBytes);
    EXPECT_GT(table.size() + 2 * 1024 + 1, result.patches[0].fetchedBytes);
    EXPECT_LT(table.size(), result.patches[0].fetchedBytes);
    EXPECT_EQ(2u, result.patches[1].changedFiles);
    EXPECT_EQ(text.size() + noise.size(), result.patches[1].fetchedBytes);
}

TEST(ServerOptions, APinnedChunkTurnsTheFastModeOff)
{
    auto parse = [](std::vector<std::string> args) {
        args.insert(args.begin(), "update-server");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        ServerOptions options;
        std::string error;
        EXPECT_EQ(OptionsOutcome::Run, ParseServerOptions(static_cast<int>(argv.size()), argv.data(), &options, &error))
            << error;
        return options;
    };
    ServerOptions defaults = parse({"--root", "r"});
    EXPECT_EQ(10237u, defaults.chunk);
    EXPECT_EQ(65534, defaults.fastChunk);
    EXPECT_EQ(16u, defaults.fastWindow);
    EXPECT_EQ(0, parse({"--root", "r", "--chunk", "64"}).fastChunk);
    EXPECT_EQ(3000, parse({"--root", "r", "--chunk", "64", "--fast-chunk", "3000"}).fastChunk);
    EXPECT_EQ(0, parse({"--root", "r", "--fast-chunk", "0"}).fastChunk);
    EXPECT_EQ((std::vector<std::string>{"https://b.example/x/", "http://a.example:8080/"}),
              parse({"--root", "r", "--mirror", "https://b.example/x/", "--mirror", "http://a.example:8080"}).mirrors);

    const std::string longest = "http://" + std::string(992, 'a');  // 1000 bytes with its "/"
    std::vector<std::string> mirrors;
    std::string error;
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(AddMirror(longest, &mirrors, &error)) << error;
    EXPECT_FALSE(AddMirror("http://ninth.example/", &mirrors, &error));
    for (const std::string& refused : {longest + "b", std::string("ftp://a.example/"), std::string("http://"),
                                       std::string("http:///a"), std::string("http://a b/"),
                                       std::string("http://a\x7f/"), std::string("a.example/")}) {
        mirrors.clear();
        EXPECT_FALSE(AddMirror(refused, &mirrors, &error)) << refused;
        EXPECT_NE(std::string::npos, error.find("--mirror")) << error;
    }
}

}  // namespace
