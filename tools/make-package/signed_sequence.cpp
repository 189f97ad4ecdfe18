#include "signed_sequence.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "files/build_manifest.h"

namespace {

bool ReadWholeFile(const std::string& path, std::string* bytes, std::size_t limit)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes->clear();
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 && bytes->size() <= limit) bytes->append(buffer, got);
    std::fclose(file);
    return bytes->size() <= limit;
}

// The sequence of the manifest at path; 0 when there is none or it does not parse.
uint64_t ManifestSequence(const std::string& path)
{
    std::string bytes;
    BuildManifest manifest;
    if (!ReadWholeFile(path, &bytes, kBuildManifestMaxBytes) ||
        !ParseBuildManifest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &manifest)) {
        return 0;
    }
    return manifest.sequence;
}

std::string RecordPath(const std::string& root, const std::string& name)
{
    return root + "/.store/" + name + "/" + kSignedSequenceFile;
}

}  // namespace

bool ReadSignedSequences(const std::string& root, const std::string& name, SignedSequences* sequences,
                         std::string* error)
{
    *sequences = SignedSequences();
    const std::string record = RecordPath(root, name);
    std::string text;
    char* end = nullptr;
    const bool missing = access(record.c_str(), F_OK) != 0 && errno == ENOENT;
    if (!missing) {
        bool read = ReadWholeFile(record, &text, 32) && !text.empty() && text[0] >= '0' && text[0] <= '9';
        if (read) {
            errno = 0;
            sequences->highest = std::strtoull(text.c_str(), &end, 10);
            read = errno == 0 && std::strcmp(end, "\n") == 0;
        }
        if (!read) {
            *error = "cannot read a sequence number from " + record + "; write the highest sequence signed for " +
                     name + " into it, or remove it to go by the kept builds alone";
            return false;
        }
    }
    sequences->current = ManifestSequence(root + "/" + name + "/" + name + ".manifest");
    sequences->highest = std::max(sequences->highest, sequences->current);
    const std::string storeDir = root + "/.store/" + name;
    if (DIR* dir = opendir(storeDir.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string build = entry->d_name;
            if (build.empty() || build.find_first_not_of("0123456789") != std::string::npos) continue;
            sequences->highest =
                std::max(sequences->highest, ManifestSequence(storeDir + "/" + build + "/" + name + ".manifest"));
        }
        closedir(dir);
    }
    return true;
}

bool RecordSignedSequence(const std::string& root, const std::string& name, uint64_t highest, std::string* error)
{
    const std::string record = RecordPath(root, name);
    const std::string temp = record + ".tmp-" + std::to_string(getpid());
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    bool written = file != nullptr && std::fprintf(file, "%llu\n", static_cast<unsigned long long>(highest)) > 0;
    if (file != nullptr) written = std::fclose(file) == 0 && written;
    if (!written || std::rename(temp.c_str(), record.c_str()) != 0) {
        *error = "cannot write " + record + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}
