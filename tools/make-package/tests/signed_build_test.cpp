// make-package --new-key and --sign, read back through the core's verdict.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "files/build_trust.h"
#include "package_builder.h"
#include "package_codec.h"
#include "signing_key.h"

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const uint8_t* Bytes(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

std::string Digest(const std::string& bytes)
{
    uint8_t digest[32];
    EXPECT_TRUE(platform::sha256(bytes.data(), bytes.size(), digest));
    return std::string(reinterpret_cast<char*>(digest), 32);
}

// A key as openssl's own tools write it (traditional "EC PRIVATE KEY" PEM).
void WriteOpenSslKey(const std::string& path, const char* curve)
{
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve);
    BIO* file = BIO_new_file(path.c_str(), "w");
    ASSERT_TRUE(key != nullptr && file != nullptr);
    EXPECT_EQ(PEM_write_bio_PrivateKey_traditional(file, key, nullptr, nullptr, 0, nullptr, nullptr), 1);
    BIO_free(file);
    EVP_PKEY_free(key);
}

}  // namespace

TEST(SignedBuild, TakesP256KeysFromOpenSslAndRefusesOthers)
{
    char pattern[] = "/tmp/signed_build_test.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    WriteOpenSslKey(dir + "/p256.pem", "P-256");
    WriteOpenSslKey(dir + "/p384.pem", "P-384");
    std::ofstream(dir + "/text.pem") << "not a key\n";
    std::string error;
    EXPECT_TRUE(ReadSigningKey(dir + "/p256.pem", &error)) << error;
    EXPECT_FALSE(ReadSigningKey(dir + "/p384.pem", &error));
    EXPECT_NE(error.find("P-256"), std::string::npos) << error;
    EXPECT_FALSE(ReadSigningKey(dir + "/text.pem", &error));
    std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(SignedBuild, SignsWhatItServesAndTheCoreChecksIt)
{
    char pattern[] = "/tmp/signed_build_test.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::system(("mkdir -p " + dir + "/game/data " + dir + "/system").c_str());
    std::ofstream(dir + "/game/data/a.dat", std::ios::binary) << "first file";
    std::ofstream(dir + "/system/x.dll", std::ios::binary) << std::string(100000, 'x');

    std::string publicText, otherText, error;
    ASSERT_TRUE(WriteNewSigningKey(dir + "/key.pem", &publicText, &error)) << error;
    ASSERT_TRUE(WriteNewSigningKey(dir + "/other.pem", &otherText, &error)) << error;
    EXPECT_FALSE(WriteNewSigningKey(dir + "/key.pem", &otherText, &error)) << "overwrote a key";
    struct stat st;
    ASSERT_EQ(stat((dir + "/key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    BuildPublicKey key, other;
    ASSERT_TRUE(DecodeBuildPublicKey(ReadFile(dir + "/key.pem.pub"), &key));
    ASSERT_TRUE(DecodeBuildPublicKey(otherText, &other));

    PackageBuildOptions options;
    options.name = "game";
    options.gameDir = dir + "/game";
    options.systemDir = dir + "/system";
    options.outRoot = dir + "/root";
    options.signing.keyPath = dir + "/key.pem";
    options.signing.expiresDays = 2;
    for (uint64_t build = 1; build <= 2; ++build) {
        PackageBuildResult result;
        ASSERT_EQ(BuildPackage(options, &result, &error), BuildStatus::Built) << error;
        EXPECT_EQ(result.sequence, build);
    }

    const std::string manifest = ReadFile(dir + "/root/game.manifest");
    const std::string signature = ReadFile(dir + "/root/game.sig");
    const uint64_t now = 1700000000;
    BuildManifest accepted;
    ASSERT_EQ(VerifyBuildManifest(Bytes(manifest), manifest.size(), Bytes(signature), signature.size(), {other, key},
                                  "game", 2, now, &accepted),
              ManifestVerdict::Accepted);
    EXPECT_EQ(accepted.sequence, 2u);
    std::string list;
    ASSERT_TRUE(InflatePackage(ReadFile(dir + "/root/game.cms"), 300000, &list));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(accepted.listSha256), 32), Digest(list));
    ASSERT_EQ(accepted.files.size(), 2u);
    EXPECT_EQ(accepted.files[0].listPath, "/data/a.dat");
    EXPECT_FALSE(accepted.files[0].system);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(accepted.files[0].sha256), 32), Digest("first file"));
    EXPECT_EQ(accepted.files[1].listPath, "/x.dll");
    EXPECT_TRUE(accepted.files[1].system);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(accepted.files[1].sha256), 32), Digest(std::string(100000, 'x')));

    std::string tampered = manifest;
    tampered[tampered.size() - 1] ^= 1;
    struct Row {
        const char* name;
        std::string manifest, signature;
        std::vector<BuildPublicKey> keys;
        std::string package;
        uint64_t last, now;
        ManifestVerdict verdict;
    };
    const Row rows[] = {
        {"tampered manifest", tampered, signature, {key}, "game", 0, now, ManifestVerdict::BadSignature},
        {"other key only", manifest, signature, {other}, "game", 0, now, ManifestVerdict::BadSignature},
        {"no key", manifest, signature, {}, "game", 0, now, ManifestVerdict::BadSignature},
        {"short signature", manifest, signature.substr(1), {key}, "game", 0, now, ManifestVerdict::Malformed},
        {"other package", manifest, signature, {key}, "game2", 0, now, ManifestVerdict::WrongPackage},
        {"rollback", manifest, signature, {key}, "game", 3, now, ManifestVerdict::Rollback},
        {"expired", manifest, signature, {key}, "game", 0, accepted.expiresAt, ManifestVerdict::Expired},
    };
    for (const Row& row : rows) {
        BuildManifest out;
        EXPECT_EQ(VerifyBuildManifest(Bytes(row.manifest), row.manifest.size(), Bytes(row.signature),
                                      row.signature.size(), row.keys, row.package, row.last, row.now, &out),
                  row.verdict)
            << row.name;
    }

    // Unsigned builds between signed ones, also once no signed build is kept,
    // never take a sequence back.
    const struct {
        bool sign;
        long long sequence;
        long keep;
        uint64_t expected;
        const char* warning;
    } steps[] = {
        {false, -1, 5, 0, "signed up to sequence 2"},   {true, -1, 5, 3, "current build is not signed"},
        {true, 2, 5, 2, "is below 3"},                   {true, -1, 5, 4, nullptr},
        {false, -1, 2, 0, "signed up to sequence 4"},   {false, -1, 2, 0, "signed up to sequence 4"},
        {true, -1, 2, 5, "current build is not signed"},
    };
    for (const auto& step : steps) {
        options.signing.keyPath = step.sign ? dir + "/key.pem" : "";
        options.signing.sequence = step.sequence;
        options.keptBuilds = step.keep;
        PackageBuildResult result;
        ASSERT_EQ(BuildPackage(options, &result, &error), BuildStatus::Built) << error;
        EXPECT_EQ(result.sequence, step.expected);
        std::string warnings;
        for (const std::string& warning : result.warnings) warnings += warning + "\n";
        EXPECT_EQ(step.warning == nullptr, warnings.empty()) << warnings;
        EXPECT_NE(warnings.find(step.warning ? step.warning : ""), std::string::npos) << warnings;
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(SignedBuild, LeavesItsFilesForMirrorsNamedByContent)
{
    char pattern[] = "/tmp/signed_build_test.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string big(70000, 'b');
    std::system(("mkdir -p " + dir + "/game").c_str());
    std::ofstream(dir + "/game/big.bin", std::ios::binary) << big;
    std::string publicText, error;
    ASSERT_TRUE(WriteNewSigningKey(dir + "/key.pem", &publicText, &error)) << error;
    auto tree = [&](const char* kind, const std::string& bytes) {
        const std::string hex = Sha256Hex(reinterpret_cast<const uint8_t*>(Digest(bytes).data()));
        return dir + "/root/.http/" + (kind[0] == 'o' ? HttpObjectPath(hex) : HttpSumsPath(hex));
    };
    PackageBuildOptions options;
    options.name = "game", options.gameDir = dir + "/game", options.outRoot = dir + "/root", options.keptBuilds = 2;
    // Per build: a.dat's bytes, signed or not, the objects it names and how
    // many of them are new; a broken object fails the build.
    const struct {
        const char* small;
        bool sign;
        std::size_t objects, added;
        BuildStatus status;
    } steps[] = {{"one", true, 2, 2, BuildStatus::Built},   {"two", true, 2, 1, BuildStatus::Built},
                 {"three", false, 0, 0, BuildStatus::Built}, {"four", true, 1, 0, BuildStatus::Failed}};
    for (const auto& step : steps) {
        std::ofstream(dir + "/game/a.dat", std::ios::binary) << step.small;
        if (step.status == BuildStatus::Failed) {
            const std::string broken = tree("objects", step.small);
            std::system(("mkdir -p " + broken.substr(0, broken.rfind('/'))).c_str());
            std::ofstream(broken) << "short";
        }
        options.signing.keyPath = step.sign ? dir + "/key.pem" : "";
        PackageBuildResult result;
        ASSERT_EQ(BuildPackage(options, &result, &error), step.status) << step.small << error;
        EXPECT_EQ(result.http.objects, step.objects) << step.small;
        EXPECT_EQ(result.http.newObjects, step.added) << step.small;
        if (step.status == BuildStatus::Built) {
            EXPECT_EQ(ReadFile(tree("objects", step.small)), step.sign ? std::string(step.small) : "") << step.small;
        }
    }
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(dir + "/root/game/files/a.dat"), "three");  // the failed build was never published
    EXPECT_EQ(ReadFile(tree("objects", "four")), "short");
    EXPECT_EQ(ReadFile(tree("objects", "one")), "");  // only build 1, which --keep 2 removed, named it
    EXPECT_EQ(ReadFile(tree("objects", big)), big);
    EXPECT_EQ(ReadFile(tree("sums", big)), ReadFile(dir + "/root/.store/game/2/sums/2"));
    EXPECT_EQ(ReadFile(tree("sums", "two")), "");
    std::system(("rm -rf '" + dir + "'").c_str());
}
