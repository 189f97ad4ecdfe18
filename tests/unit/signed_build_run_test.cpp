// A run with the publisher's keys against fake servers: the offered build's
// manifest is asked for only with keys, a build that does not verify sends the
// run to the next server, and a file must have its signed SHA-256.
#include "worker/signed_build.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <map>

#include "fake_server.h"
#include "net/fast_mode.h"
#include "net/file_transfer.h"
#include "net/frames.h"
#include "platform/platform.h"

namespace {

using fake::Bytes;

struct Publisher {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    ~Publisher() { EVP_PKEY_free(key); }
    void trust() const {
        std::size_t size = 0;
        EVP_PKEY_get_octet_string_param(key, "encoded-pub-key", g_RunState.publisherKeys[g_RunState.publisherKeyCount++], 65, &size);
    }
    Bytes sign(const Bytes& message) const {
        uint8_t der[128];
        std::size_t size = sizeof der;
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key);
        EVP_DigestSign(context, der, &size, message.data(), message.size());
        EVP_MD_CTX_free(context);
        const uint8_t* at = der;
        ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(size));
        Bytes out(64);
        BN_bn2binpad(ECDSA_SIG_get0_r(signature), out.data(), 32);
        BN_bn2binpad(ECDSA_SIG_get0_s(signature), out.data() + 32, 32);
        ECDSA_SIG_free(signature);
        return out;
    }
};

BuildManifest manifestOf(const Bytes& file, uint64_t sequence, uint64_t expiresAt) {
    BuildManifest manifest;
    manifest.packageName = "game";
    manifest.sequence = sequence;
    manifest.expiresAt = expiresAt;
    manifest.files.push_back({"/a.dat", false, {}});
    platform::sha256(file.data(), file.size(), manifest.files[0].sha256);
    return manifest;
}

// A version-3 offer; sizes 0 for a build that is not signed.
Bytes signedOffer(uint32_t manifestBytes, uint16_t signatureBytes) {
    Bytes out(148, 0);
    fake::putLe16(out, 0, 146);
    fake::putLe16(out, 112, 7);
    std::memcpy(out.data() + 114, "AUFM", 4);
    fake::putLe16(out, 118, 3);
    fake::putLe16(out, 120, 4000);
    fake::putLe16(out, 122, 16);
    fake::putLe16(out, 140, static_cast<uint16_t>(manifestBytes));
    fake::putLe16(out, 142, static_cast<uint16_t>(manifestBytes >> 16));
    fake::putLe16(out, 144, signatureBytes);
    return out;
}

void serveFiles(fake::Server& server, fake::Connection& c, const std::map<uint16_t, Bytes>& files) {
    Bytes request;
    while (c.read(&request, kFileRequestSize)) {
        server.record(request);
        auto found = files.find(fake::le16(request, 14));
        const uint32_t offset = fake::le32(request, 16);
        if (found == files.end() || offset > found->second.size()) {
            c.write(fake::chunk(kChunkRefused, {}));
            continue;
        }
        const std::size_t end = std::min<std::size_t>(offset + fake::le32(request, 8), found->second.size());
        const Bytes part(found->second.begin() + offset, found->second.begin() + end);
        c.write(fake::chunk(end == found->second.size() ? kChunkLast : 1, part));
    }
}

void takeReply(const Bytes& reply) {
    std::memset(g_RunState.receiveBuffer, 0, sizeof g_RunState.receiveBuffer);
    std::memcpy(g_RunState.receiveBuffer, reply.data(), reply.size());
    resetFastPipeline();
    takeFastOffer();
}

const Bytes kFile(5000, 'x');

TEST(SignedBuildRun, OnlyAVerifiedBuildIsTakenAndARefusalMovesToTheNextServer) {
    const uint64_t now = platform::utcSeconds();
    const Publisher publisher, stranger;
    struct Case {
        const char* what;
        int keys;
        bool offered;
        const Publisher* signer;
        uint64_t sequence, kept, expiresAt;
        bool spare;  // an untried server is left
        BuildTrust trust;
        const char* reason;
    };
    const Case cases[] = {
        {"no keys: nothing asked", 0, true, &publisher, 3, 0, now + 60, true, BuildTrust::Accepted, nullptr},
        {"signed", 1, true, &publisher, 3, 0, now + 60, true, BuildTrust::Accepted, nullptr},
        {"the same build again", 2, true, &publisher, 3, 3, now + 60, true, BuildTrust::Accepted, nullptr},
        {"no offer", 1, false, &publisher, 3, 0, now + 60, true, BuildTrust::Refused, "服务器没有签名清单"},
        {"another key", 1, true, &stranger, 3, 0, now + 60, true, BuildTrust::Refused, "签名不是发布者的"},
        {"rollback", 1, true, &publisher, 3, 4, now + 60, true, BuildTrust::Refused, "更新包比已安装的版本旧"},
        {"expired", 1, true, &publisher, 3, 0, now, true, BuildTrust::Refused, "签名清单已过期"},
        {"no server left", 1, true, &stranger, 3, 0, now + 60, false, BuildTrust::Over, "签名不是发布者的"},
    };
    for (const Case& c : cases) {
        fake::Run run;
        const Bytes manifest = [&] {
            const std::string text = FormatBuildManifest(manifestOf(kFile, c.sequence, c.expiresAt));
            return Bytes(text.begin(), text.end());
        }();
        const std::map<uint16_t, Bytes> files = {
            {kFastManifestSerial, manifest}, {kFastSignatureSerial, c.signer->sign(manifest)}, {1, kFile}};
        fake::Server first([&](fake::Connection& conn) { serveFiles(first, conn, files); });
        fake::Server spare([](fake::Connection&) {});
        fake::Run::addServer("127.0.0.1", first.port(), 1);
        if (c.spare) fake::Run::addServer("127.0.0.1", spare.port());
        fake::Run::connectTo(first.port());
        std::snprintf(g_RunState.packageName, sizeof g_RunState.packageName, "game");
        std::snprintf(g_RunState.serverPackageName, sizeof g_RunState.serverPackageName, "game");
        if (c.kept > 0) std::ofstream(run.dir() + "/game.seq") << c.kept;
        for (int k = 0; k < c.keys; ++k) (k == 0 ? publisher : stranger).trust();
        takeReply(c.offered ? signedOffer(static_cast<uint32_t>(manifest.size()), 64) : fake::packageReply(7));

        EXPECT_EQ(judgeOfferedBuild(), c.trust) << c.what;
        EXPECT_EQ(first.requests().size(), c.keys > 0 && c.offered ? 2u : 0u) << c.what;
        EXPECT_EQ(signedEntryOf(0) != nullptr, c.keys > 0 && c.trust == BuildTrust::Accepted) << c.what;
        if (c.keys == 0) EXPECT_EQ(fake::count(run.log(), "签名"), 0) << c.what;
        const std::string verdictLine = c.reason ? std::string("签名校验失败:") + c.reason : "签名清单验证通过";
        EXPECT_EQ(fake::count(run.log(), verdictLine), c.keys == 0 ? 0 : 1) << c.what;
        if (c.trust == BuildTrust::Refused) EXPECT_TRUE(spare.waitAccepted(1)) << c.what;
        else EXPECT_EQ(spare.accepted(), 0) << c.what;
        const bool gaveUp = std::count(fake::messages().begin(), fake::messages().end(),
                                       fake::Message{AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_NOT_SIGNED, 1}) == 1 &&
                            fake::messages().back() == (fake::Message{AU_MSG_STATUS, AU_STATUS_FINAL, 0, 0});
        EXPECT_EQ(gaveUp, c.trust == BuildTrust::Over) << c.what;

        if (c.what == std::string("signed")) {
            // The list must be the signed one too; its digest is 0 here.
            EXPECT_EQ(judgeNewList(reinterpret_cast<const uint8_t*>("x"), 1), BuildTrust::Refused);
            EXPECT_EQ(fake::count(run.log(), "签名校验失败:文件列表与签名清单不符"), 1);
        }
    }
}

TEST(SignedBuildRun, AFileCountsOnlyWithItsSignedSha256EvenWhenResumed) {
    const Publisher publisher;
    struct Case {
        const char* what;
        Bytes served;
        std::size_t staged;
        bool installed;
    };
    Bytes collided = kFile;
    collided[4000] = 'y';
    const Case cases[] = {
        {"whole", kFile, 0, true},
        {"resumed after 1234 staged bytes", kFile, 1234, true},
        {"other bytes under the listed MD5", collided, 0, false},
    };
    for (const Case& c : cases) {
        fake::Run run;
        BuildManifest manifest = manifestOf(kFile, 1, platform::utcSeconds() + 60);
        const std::map<uint16_t, Bytes> files = {{1, c.served}};
        fake::Server server([&](fake::Connection& conn) { serveFiles(server, conn, files); });
        fake::Run::connectTo(server.port());
        takeReply(signedOffer(0, 0));
        if (c.staged > 0) {
            std::filesystem::create_directories(run.dir() + "/Update");
            std::ofstream(run.dir() + "/Update/a.dat", std::ios::binary).write(reinterpret_cast<const char*>(kFile.data()), c.staged);
        }
        const BuildManifestFile& entry = manifest.files[0];
        // The MD5 the list gives is always that of the bytes served.
        downloadFile("game/a.dat", "a.dat", "Update\\", 1, 5000, fake::md5Hex(c.served).c_str(),
                     static_cast<uint32_t>(c.staged), &entry);
        EXPECT_EQ(g_RunState.runFailed, c.installed ? 0 : 1) << c.what;
        EXPECT_EQ(fake::count(run.log(), "/a.dat的SHA-256与签名清单不符"), c.installed ? 0 : 1) << c.what;
        EXPECT_EQ(fake::Run::readFile(run.dir() + "/Update/a.dat").size(), c.installed ? 5000u : 0u) << c.what;
        if (c.staged > 0) EXPECT_EQ(fake::le32(server.requests().at(0), 16), c.staged) << c.what;
    }
}

}  // namespace
