// With the publisher's keys the manifest is asked for, a build that does not
// verify sends the run to the next server, and a file needs its signed SHA-256.
#include "worker/signed_build.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include "fake_server.h"
#include "net/fast_mode.h"
#include "net/file_transfer.h"
#include "net/frames.h"

namespace {

using fake::Bytes;

struct Publisher {
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key{EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free};
    void trust() const {
        EVP_PKEY_get_octet_string_param(key.get(), "encoded-pub-key", g_RunState.publisherKeys[g_RunState.publisherKeyCount++], 65, nullptr);
    }
    Bytes sign(const Bytes& message) const {  // r then s, from OpenSSL's DER
        uint8_t der[128], out[64];
        std::size_t size = sizeof der;
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key.get());
        EVP_DigestSign(context, der, &size, message.data(), message.size());
        EVP_MD_CTX_free(context);
        const uint8_t* at = der;
        ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(size));
        BN_bn2binpad(ECDSA_SIG_get0_r(signature), out, 32), BN_bn2binpad(ECDSA_SIG_get0_s(signature), out + 32, 32);
        ECDSA_SIG_free(signature);
        return Bytes(out, out + 64);
    }
};

const Bytes kFile(5000, 'x');

BuildManifest manifestOf(uint64_t expiresAt) {
    BuildManifest manifest{"game", 7, 3, expiresAt, {}, {{"/a.dat", false, {}}}};
    platform::sha256(kFile.data(), kFile.size(), manifest.files[0].sha256);
    return manifest;
}

// The package reply with a version-3 offer (sizes 0: not signed) into the run.
void takeOffer(uint16_t manifestBytes, uint16_t signatureBytes, bool offered = true) {
    Bytes out = fake::packageReply(7), block = {'A', 'U', 'F', 'M', 3, 0, 0xA0, 0x0F, 16, 0};
    if (offered) out.insert(out.end(), block.begin(), block.end()), out.resize(148, 0), fake::putLe16(out, 0, 146);
    if (offered) fake::putLe16(out, 140, manifestBytes), fake::putLe16(out, 144, signatureBytes);
    std::memcpy(g_RunState.receiveBuffer, out.data(), out.size());
    resetFastPipeline();
    takeFastOffer();
}

void serveFiles(fake::Server& server, fake::Connection& c, const std::map<uint16_t, Bytes>& files) {
    for (Bytes request; c.read(&request, kFileRequestSize);) {
        server.record(request);
        const Bytes& file = files.at(fake::le16(request, 14));
        const std::size_t offset = fake::le32(request, 16), end = std::min<std::size_t>(offset + fake::le32(request, 8), file.size());
        c.write(fake::chunk(end == file.size() ? kChunkLast : 1, Bytes(file.begin() + offset, file.begin() + end)));
    }
}

TEST(SignedBuildRun, OnlyAVerifiedBuildIsTakenAndARefusalMovesToTheNextServer) {
    const uint64_t now = platform::utcSeconds();
    const Publisher publisher, stranger;
    struct Case { const char* what; int keys; bool offered; const Publisher* signer; uint64_t kept, expiresAt;
                  bool untriedLeft; BuildTrust trust; const char* line; } cases[] = {
        {"no keys: nothing asked", 0, true, &publisher, 0, now + 60, true, BuildTrust::Accepted, nullptr},  // no "签名" at all
        {"signed, the same build again, two keys", 2, true, &publisher, 3, now + 60, true, BuildTrust::Accepted, "签名清单验证通过"},
        {"no offer", 1, false, &publisher, 0, now + 60, true, BuildTrust::Refused, "签名校验失败:服务器没有签名清单"},
        {"another key", 1, true, &stranger, 0, now + 60, true, BuildTrust::Refused, "签名校验失败:签名不是发布者的"},
        {"rollback", 1, true, &publisher, 4, now + 60, true, BuildTrust::Refused, "签名校验失败:更新包比已安装的版本旧"},
        {"expired", 1, true, &publisher, 0, now, true, BuildTrust::Refused, "签名校验失败:签名清单已过期"},
        {"no server left", 1, true, &stranger, 0, now + 60, false, BuildTrust::Over, "签名校验失败:签名不是发布者的"},
    };
    for (const Case& c : cases) {
        fake::Run run;
        const std::string text = FormatBuildManifest(manifestOf(c.expiresAt));
        const Bytes manifest(text.begin(), text.end());
        const std::map<uint16_t, Bytes> files = {{kFastManifestSerial, manifest}, {kFastSignatureSerial, c.signer->sign(manifest)}};
        fake::Server first([&](fake::Connection& conn) { serveFiles(first, conn, files); });
        fake::Server spare([](fake::Connection&) {});
        fake::Run::addServer("127.0.0.1", first.port(), 1);
        if (c.untriedLeft) fake::Run::addServer("127.0.0.1", spare.port());
        fake::Run::connectTo(first.port());
        std::strcpy(g_RunState.serverPackageName, "game"), std::strcpy(g_RunState.packageName, "game");
        if (c.kept > 0) std::ofstream(run.dir() + "/game.seq") << c.kept;
        for (int k = 0; k < c.keys; ++k) (k == 0 ? publisher : stranger).trust();
        takeOffer(static_cast<uint16_t>(manifest.size()), 64, c.offered);
        EXPECT_EQ(judgeOfferedBuild(), c.trust) << c.what;
        EXPECT_EQ(first.requests().size(), c.keys > 0 && c.offered ? 2u : 0u) << c.what;
        EXPECT_EQ(signedEntryOf(0) != nullptr, c.keys > 0 && c.trust == BuildTrust::Accepted) << c.what;
        EXPECT_EQ(fake::count(run.log(), c.line ? c.line : "签名"), c.line ? 1 : 0) << c.what;
        EXPECT_TRUE(c.trust == BuildTrust::Refused ? spare.waitAccepted(1) : spare.accepted() == 0) << c.what;
        const std::vector<fake::Message> gaveUp = {{AU_MSG_STATUS, AU_STATUS_ERROR, AU_ERR_NOT_SIGNED, 1}, {AU_MSG_STATUS, AU_STATUS_FINAL, 0, 0}};
        EXPECT_EQ(fake::messages() == gaveUp, c.trust == BuildTrust::Over) << c.what;
        if (c.keys > 0 && c.trust == BuildTrust::Accepted)  // a list other than the signed one
            EXPECT_EQ(judgeNewList(reinterpret_cast<const uint8_t*>("x"), 1), BuildTrust::Refused) << run.log();
    }
}

TEST(SignedBuildRun, AFileCountsOnlyWithItsSignedSha256EvenWhenResumed) {
    const Bytes collided = [] { Bytes bytes = kFile; bytes[4000] = 'y'; return bytes; }();  // under its own MD5
    const struct { const char* what; Bytes served; std::size_t staged; bool installed; } cases[] = {{"whole", kFile, 0, true}, {"resumed after 1234 staged bytes", kFile, 1234, true},
                 {"other bytes under the listed MD5", collided, 0, false}};
    for (const auto& c : cases) {
        fake::Run run;
        const BuildManifest manifest = manifestOf(platform::utcSeconds() + 60);
        const std::map<uint16_t, Bytes> files = {{1, c.served}};
        fake::Server server([&](fake::Connection& conn) { serveFiles(server, conn, files); });
        fake::Run::connectTo(server.port());
        takeOffer(0, 0);
        std::filesystem::create_directories(run.dir() + "/Update");
        std::ofstream(run.dir() + "/Update/a.dat", std::ios::binary).write(reinterpret_cast<const char*>(kFile.data()), c.staged);
        downloadFile("game/a.dat", "a.dat", "Update\\", 1, 5000, fake::md5Hex(c.served).c_str(), c.staged, &manifest.files[0]);
        EXPECT_EQ(g_RunState.runFailed, c.installed ? 0 : 1) << c.what;
        EXPECT_EQ(fake::count(run.log(), "/a.dat的SHA-256与签名清单不符"), c.installed ? 0 : 1) << c.what;
        EXPECT_EQ(fake::Run::readFile(run.dir() + "/Update/a.dat").size(), c.installed ? 5000u : 0u) << c.what;
        EXPECT_EQ(fake::le32(server.requests().at(0), 16), c.staged) << c.what;
    }
}

}  // namespace
