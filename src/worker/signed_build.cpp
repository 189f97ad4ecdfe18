#include "worker/signed_build.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "files/build_trust.h"
#include "log/update_log.h"
#include "net/fast_mode.h"
#include "net/frames.h"
#include "net/http_fetch.h"
#include "net/http_mirrors.h"
#include "net/server_link.h"
#include "platform/crypto.h"
#include "platform/platform.h"
#include "run/notify.h"
#include "run/run_state.h"
#include "worker/stop_test.h"

namespace {

// 2^64 has 20 digits.
constexpr std::size_t kSequenceDigits = 20;

BuildManifest g_manifest;
bool g_manifestInForce = false;

const char* verdictReason(ManifestVerdict verdict) {
    switch (verdict) {
    case ManifestVerdict::Accepted: break;
    case ManifestVerdict::Malformed: return "签名清单格式错误";
    case ManifestVerdict::BadSignature: return "签名不是发布者的";
    case ManifestVerdict::WrongPackage: return "签名清单属于另一个更新包";
    case ManifestVerdict::Rollback: return "更新包比已安装的版本旧";
    case ManifestVerdict::Expired: return "签名清单已过期";
    }
    return "签名清单格式错误";
}

void sequencePath(char* out, std::size_t size) {
    std::snprintf(out, size, "%s\\%s.seq", g_RunState.gameDir, g_RunState.packageName);
}

// Decimal text; a file that is missing, unreadable or not a number counts
// as no build installed yet.
uint64_t keptSequence() {
    char path[600];
    sequencePath(path, sizeof path);
    std::FILE* file = platform::openFile(path, "rb");
    if (file == nullptr) return 0;
    char text[kSequenceDigits + 4] = {};
    const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    uint64_t value = 0;
    std::size_t i = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    if (i == 0) return 0;
    for (; i < length; ++i) {
        if (text[i] != '\r' && text[i] != '\n' && text[i] != ' ') return 0;
    }
    return value;
}

void forgetManifest() {
    g_manifest = BuildManifest();
    g_manifestInForce = false;
    setRunMirrors({});
}

// The build's files may also come from the HTTP mirrors the server names:
// only now, with a manifest that checks every byte of them. Without the
// list the server brings every file, as without mirrors.
void takeMirrors() {
    if ((fastOfferExtras().features & kFastFeatureMirrors) == 0) return;
    std::vector<uint8_t> text;
    if (!fetchReservedFast(kFastMirrorListSerial, kMirrorListMaxBytes, &text)) {
        g_UpdateLog.write("HTTP镜像列表接收失败,只从更新服务器下载");
        return;
    }
    setRunMirrors(ParseMirrorList(text.data(), text.size()));
}

// Logs the refusal and moves on to the next untried server, without the
// pause after a reconnect: this one answered, it just cannot be trusted.
BuildTrust refuse(const char* reason) {
    RunState& run = g_RunState;
    g_UpdateLog.write("签名校验失败:%s", reason);
    forgetManifest();
    // Nothing of the refused build counts towards the run's progress.
    run.wei = 0;
    run.sendnow = 0;
    if (stopTest()) return BuildTrust::Over;
    if (untriedServerLeft() && connectNextServer()) return BuildTrust::Refused;
    if (stopTest()) return BuildTrust::Over;
    run.runFailed = 1;
    notifyErrorGuarded(AU_ERR_NOT_SIGNED);
    notifyHost(AU_MSG_STATUS, AU_STATUS_FINAL, 0);
    endRun();
    return BuildTrust::Over;
}

bool recordsAreSigned() {
    const RunState& run = g_RunState;
    if (run.newCount < 0 || g_manifest.files.size() != static_cast<std::size_t>(run.newCount)) return false;
    for (int32_t i = 0; i < run.newCount; ++i) {
        const UpdateListEntry& record = run.newList[i];
        const BuildManifestFile& entry = g_manifest.files[static_cast<std::size_t>(i)];
        if (entry.listPath != record.path || entry.system != (record.systemFile != 0)) return false;
    }
    return true;
}

}  // namespace

void readPublisherKeys(XmlConfigReader& reader) {
    RunState& run = g_RunState;
    forgetManifest();
    run.publisherKeyCount = 0;
    reader.Reset();
    if (!reader.SelectChildren("publisherkeys")) return;
    const char* names[] = {"key1", "key2"};
    for (const char* name : names) {
        char text[256] = {};
        if (!reader.GetAttribute(name, text, sizeof text) || text[0] == '\0') continue;
        BuildPublicKey key;
        if (!DecodeBuildPublicKey(text, &key)) {
            g_UpdateLog.write("publisherkeys的%s不是公钥,忽略", name);
            continue;
        }
        std::memcpy(run.publisherKeys[run.publisherKeyCount++], key.point, sizeof key.point);
    }
    if (run.publisherKeyCount > 0) g_UpdateLog.write("有%d个发布者公钥,只接受签名的更新包", run.publisherKeyCount);
}

BuildTrust judgeOfferedBuild() {
    RunState& run = g_RunState;
    forgetManifest();
    if (run.publisherKeyCount <= 0) return BuildTrust::Accepted;
    const uint16_t packageNumber = replyPackageFileId();
    if (packageNumber == kNoSuchPackage) return BuildTrust::Accepted;
    run.packageFileId = packageNumber;

    const FastOfferExtras offer = fastOfferExtras();
    if (!run.fastMode || offer.manifestBytes == 0 || offer.signatureBytes == 0) return refuse("服务器没有签名清单");
    if (offer.manifestBytes > kBuildManifestMaxBytes || offer.signatureBytes != platform::kP256SignatureBytes) {
        return refuse(verdictReason(ManifestVerdict::Malformed));
    }
    std::vector<uint8_t> manifest;
    std::vector<uint8_t> signature;
    if (!fetchReservedFast(kFastManifestSerial, offer.manifestBytes, &manifest) ||
        !fetchReservedFast(kFastSignatureSerial, offer.signatureBytes, &signature)) {
        if (stopTest()) return BuildTrust::Over;
        return refuse("签名清单接收失败");
    }

    // The name asked for on the wire is the one the publisher signed.
    std::vector<BuildPublicKey> keys(static_cast<std::size_t>(run.publisherKeyCount));
    for (std::size_t i = 0; i < keys.size(); ++i) std::memcpy(keys[i].point, run.publisherKeys[i], sizeof keys[i].point);
    BuildManifest accepted;
    const ManifestVerdict verdict =
        VerifyBuildManifest(manifest.data(), manifest.size(), signature.data(), signature.size(), keys,
                            run.serverPackageName, keptSequence(), platform::utcSeconds(), &accepted);
    if (verdict != ManifestVerdict::Accepted) return refuse(verdictReason(verdict));
    g_manifest = std::move(accepted);
    g_manifestInForce = true;
    g_UpdateLog.write("签名清单验证通过");
    takeMirrors();
    return BuildTrust::Accepted;
}

BuildTrust judgeNewList(const uint8_t* list, std::size_t length) {
    if (!g_manifestInForce) return BuildTrust::Accepted;
    uint8_t digest[platform::kSha256Bytes];
    if (!platform::sha256(list, length, digest) || std::memcmp(digest, g_manifest.listSha256, sizeof digest) != 0 ||
        !recordsAreSigned()) {
        return refuse("文件列表与签名清单不符");
    }
    return BuildTrust::Accepted;
}

const BuildManifestFile* signedEntryOf(int32_t record) {
    if (!g_manifestInForce || record < 0 || static_cast<std::size_t>(record) >= g_manifest.files.size()) {
        return nullptr;
    }
    return &g_manifest.files[static_cast<std::size_t>(record)];
}

void keepSignedSequence() {
    if (!g_manifestInForce) return;
    char path[600];
    char temporary[610];
    sequencePath(path, sizeof path);
    std::snprintf(temporary, sizeof temporary, "%s.tmp", path);
    char digits[kSequenceDigits + 1];
    std::size_t at = sizeof digits - 1;
    digits[at] = '\0';
    uint64_t value = g_manifest.sequence;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);

    std::FILE* file = platform::openFile(temporary, "wb");
    bool written = file != nullptr && std::fputs(digits + at, file) >= 0;
    if (file != nullptr) written = std::fclose(file) == 0 && written;
    // A sequence that cannot be kept only weakens the next run's rollback
    // check; the installed build itself is whole.
    if (!written || !platform::moveFile(temporary, path)) {
        platform::deleteFile(temporary);
        g_UpdateLog.write("%s无法更新,错误类型%d", path, static_cast<int>(platform::lastError()));
    }
}
