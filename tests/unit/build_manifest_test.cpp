#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "files/build_manifest.h"
#include "files/build_trust.h"

namespace {

BuildManifest sample() {
    BuildManifest manifest;
    manifest.packageName = "game";
    manifest.packageNumber = 7;
    manifest.sequence = 0x0102030405060708ull;
    manifest.expiresAt = 1900000000;
    std::memset(manifest.listSha256, 0xAB, sizeof manifest.listSha256);
    for (int i = 0; i < 3; ++i) {
        BuildManifestFile file;
        file.listPath = "/data/file" + std::to_string(i) + ".dat";
        file.system = i == 2;
        std::memset(file.sha256, i, sizeof file.sha256);
        manifest.files.push_back(file);
    }
    return manifest;
}

bool parses(const std::string& bytes) {
    BuildManifest out;
    return ParseBuildManifest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &out);
}

}  // namespace

TEST(BuildManifest, RoundTripKeepsEveryField) {
    const BuildManifest manifest = sample();
    const std::string bytes = FormatBuildManifest(manifest);
    ASSERT_EQ(bytes.size(), kBuildManifestHeaderBytes + 4 + 3 * (2 + 15 + 32));
    BuildManifest back;
    ASSERT_TRUE(ParseBuildManifest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &back));
    EXPECT_EQ(back.packageName, "game");
    EXPECT_EQ(back.packageNumber, 7);
    EXPECT_EQ(back.sequence, manifest.sequence);
    EXPECT_EQ(back.expiresAt, manifest.expiresAt);
    EXPECT_EQ(0, std::memcmp(back.listSha256, manifest.listSha256, 32));
    ASSERT_EQ(back.files.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(back.files[i].listPath, manifest.files[i].listPath);
        EXPECT_EQ(back.files[i].system, i == 2);
        EXPECT_EQ(back.files[i].sha256[31], i);
    }
    // Every shorter prefix is refused: no length or count may run past the end.
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_FALSE(parses(bytes.substr(0, cut))) << cut;
}

TEST(BuildManifest, RefusesMalformed) {
    const std::string good = FormatBuildManifest(sample());
    const std::size_t firstFile = kBuildManifestHeaderBytes + 4;
    struct Row {
        const char* name;
        std::function<void(std::string*)> damage;
    };
    const Row rows[] = {
        {"trailing byte", [](std::string* b) { b->push_back('\0'); }},
        {"magic", [](std::string* b) { (*b)[0] = 'X'; }},
        {"version 2", [](std::string* b) { (*b)[4] = 2; }},
        {"count above the list's", [](std::string* b) { (*b)[56] = '\xFF'; (*b)[57] = '\x7F'; }},
        {"count one more", [](std::string* b) { (*b)[56] = 4; }},
        {"empty name", [](std::string* b) { (*b)[58] = 0; }},
        {"name over 99", [](std::string* b) { (*b)[58] = 100; }},
        {"nul in name", [](std::string* b) { (*b)[59] = '\0'; }},
        {"kind 2", [=](std::string* b) { (*b)[firstFile] = 2; }},
        {"empty path", [=](std::string* b) { (*b)[firstFile + 1] = 0; }},
        {"path over 179", [=](std::string* b) { (*b)[firstFile + 1] = static_cast<char>(180); }},
        {"path leaving the tree", [=](std::string* b) { b->replace(firstFile + 2, 4, "/../"); }},
        {"relative path", [=](std::string* b) { (*b)[firstFile + 2] = 'x'; }},
    };
    ASSERT_TRUE(parses(good));
    for (const Row& row : rows) {
        std::string bytes = good;
        row.damage(&bytes);
        EXPECT_FALSE(parses(bytes)) << row.name;
    }
    BuildManifest tooMany = sample();
    tooMany.files.resize(kBuildManifestMaxFiles + 1, tooMany.files[0]);
    EXPECT_TRUE(FormatBuildManifest(tooMany).empty());
}

TEST(BuildManifest, PublicKeyTexts) {
    // base64 of 04 followed by 64 bytes of 0x11.
    const std::string valid = "BBERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERERE=";
    BuildPublicKey key;
    ASSERT_TRUE(DecodeBuildPublicKey(" " + valid + "\n", &key));
    EXPECT_EQ(key.point[0], 0x04);
    EXPECT_EQ(key.point[64], 0x11);
    const std::string rows[] = {"", valid.substr(1), valid + "=", "A" + valid.substr(1), // 0x00 prefix
                                valid.substr(0, 86) + "F=",                           // stray low bits
                                valid.substr(0, 40) + "*" + valid.substr(41)};
    for (const std::string& text : rows) EXPECT_FALSE(DecodeBuildPublicKey(text, &key)) << text;
}
