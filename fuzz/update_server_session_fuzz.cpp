// update-server's client session fed arbitrary bytes, split into receives of
// varying sizes, against a small package root: no sockets, every reply
// checked against the request it answers and the files it serves.
//
// The first input byte picks the chunk size and the receive size; the rest is
// what a client sends.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "client_session.h"
#include "list_format.h"
#include "package_catalog.h"
#include "package_codec.h"
#include "package_manifest.h"
#include "wire_protocol.h"

namespace {

constexpr uint16_t kPackageId = 5;

void require(bool condition)
{
    if (!condition) std::abort();
}

struct Served {
    std::string root;
    std::string package;             // the .cms bytes
    std::vector<std::string> files;  // serial i is files[i - 1]
};

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

const Served& served()
{
    static const Served* made = [] {
        auto* s = new Served;
        s->root = "/tmp/update_server_session_fuzz_" + std::to_string(getpid());
        static std::string removal = "rm -rf '" + s->root + "'";
        std::atexit([] { std::system(removal.c_str()); });
        mkdir(s->root.c_str(), 0755);
        mkdir((s->root + "/game").c_str(), 0755);
        mkdir((s->root + "/game/files").c_str(), 0755);
        mkdir((s->root + "/game/files/data").c_str(), 0755);
        mkdir((s->root + "/game/system").c_str(), 0755);
        std::string big;
        for (int i = 0; i < 30000; ++i) big += static_cast<char>(i * 31 + i / 7);
        const std::vector<std::pair<std::string, std::string>> files = {
            {"files/data/big.bin", big}, {"files/empty.txt", ""}, {"system/x.dll", "dll"}};
        std::vector<ListRecord> records;
        for (const auto& file : files) {
            writeFile(s->root + "/game/" + file.first, file.second);
            ListRecord record;
            record.path = file.first.substr(file.first.find('/'));
            record.size = static_cast<int64_t>(file.second.size());
            record.system = file.first.compare(0, 7, "system/") == 0 ? 1 : 0;
            record.md5 = std::string(32, '0');
            records.push_back(record);
            s->files.push_back(file.second);
        }
        // A record that would leave its tree is never served.
        ListRecord escape;
        escape.path = "/../escape.txt";
        escape.md5 = std::string(32, '0');
        records.push_back(escape);
        s->files.emplace_back();
        writeFile(s->root + "/game/escape.txt", "outside the tree");
        require(CompressList(FormatListText("game", records), &s->package));
        writeFile(s->root + "/game/game.cms", s->package);
        ManifestEntry entry;
        entry.id = kPackageId;
        entry.name = "game";
        writeFile(s->root + "/" + kManifestFileName, FormatManifest({entry}));
        return s;
    }();
    return *made;
}

PackageCatalog& catalog()
{
    static PackageCatalog* loaded = [] {
        auto* c = new PackageCatalog(served().root);
        std::vector<std::string> messages;
        c->Refresh(&messages);
        require(c->FindPackage("game") == kPackageId);
        return c;
    }();
    return *loaded;
}

// The reply to one whole request, checked against what was asked.
void checkReply(const std::vector<uint8_t>& request, const uint8_t* reply, std::size_t length,
                const SessionRules& rules)
{
    const wire::ParsedRequest asked = wire::ParseRequest(request.data(), request.size());
    require(asked.kind == wire::RequestKind::Package || asked.kind == wire::RequestKind::File);
    require(asked.frameBytes == request.size());
    require(length >= 3 && length <= wire::kMaxReplyBytes);
    require(wire::ReadLe16(reply) + 2u == length);
    if (asked.kind == wire::RequestKind::Package) {
        require(length == wire::kPackageReplyBytes);
        const uint16_t id = wire::ReadLe16(reply + 112);
        require(id == (asked.packageName == "game" ? kPackageId : kUnknownPackageId));
        return;
    }
    const uint8_t flag = reply[2];
    const std::size_t payload = length - wire::kChunkHeaderBytes;
    require(payload <= rules.chunkPayload);
    const Served& s = served();
    const std::string* file = nullptr;
    if (asked.packageId == kPackageId) {
        if (asked.serial == 0) file = &s.package;
        else if (asked.serial <= s.files.size() && asked.serial != s.files.size()) file = &s.files[asked.serial - 1];
    }
    if (file == nullptr || asked.offset > file->size()) {
        require(flag == wire::kChunkRefused && payload == 0);
        return;
    }
    const std::size_t rest = file->size() - asked.offset;
    require(payload == (rest < rules.chunkPayload ? rest : rules.chunkPayload));
    require(flag == (payload == rest ? wire::kChunkLast : wire::kChunkMore));
    require(std::memcmp(reply + wire::kChunkHeaderBytes, file->data() + asked.offset, payload) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    SessionRules rules;
    rules.chunkPayload = 1 + static_cast<std::size_t>(data[0] & 0x0F) * 680;
    const std::size_t step = 1 + (data[0] >> 4) * 9;
    ++data;
    --size;

    ClientSession session;
    std::vector<uint8_t> request;
    std::size_t at = 0;
    for (int rounds = 0; rounds < 100000; ++rounds) {
        if (session.replyPending()) {
            std::vector<uint8_t> reply;
            while (session.replyPending()) {
                std::size_t piece;
                if (session.pendingBytes() > 0) {
                    piece = session.pendingBytes() < step ? session.pendingBytes() : step;
                    reply.insert(reply.end(), session.pendingReply(), session.pendingReply() + piece);
                } else {
                    // The payload still in the served file, as sendfile would send it.
                    const PayloadPiece payload = session.pendingPayload();
                    piece = payload.bytes < step ? payload.bytes : step;
                    const std::size_t at = reply.size();
                    reply.resize(at + piece);
                    require(pread(payload.fd, reply.data() + at, piece, payload.offset) == static_cast<ssize_t>(piece));
                }
                const bool done = session.onSent(piece);
                require(done == !session.replyPending());
            }
            checkReply(request, reply.data(), reply.size(), rules);
            request.clear();
            continue;
        }
        if (at == size) break;
        const std::size_t wanted = session.receiveWanted();
        require(wanted > 0 && wanted <= wire::kPackageRequestBytes - request.size());
        std::size_t take = wanted < step ? wanted : step;
        if (take > size - at) take = size - at;
        std::memcpy(session.receiveSpace(), data + at, take);
        request.insert(request.end(), data + at, data + at + take);
        at += take;
        std::string line;
        const ClientSession::Step result = session.onReceived(take, catalog(), rules, &line);
        if (result == ClientSession::Step::Close) {
            require(wire::ParseRequest(request.data(), request.size()).kind == wire::RequestKind::Invalid);
            break;
        }
        require((result == ClientSession::Step::ReplyReady) == session.replyPending());
    }
    return 0;
}
