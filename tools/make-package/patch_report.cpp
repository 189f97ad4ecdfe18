#include "patch_report.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sys/stat.h>

#include "build_extras.h"
#include "files/block_match.h"
#include "files/block_sums.h"
#include "package_codec.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

bool ReadBytes(const std::string& path, std::string* bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string ServedPath(const std::string& dir, const ListRecord& record)
{
    return dir + (record.system ? "/system" : "/files") + record.path;
}

// The bytes a player fetches of the new file when it holds the old one: the
// table, then the ranges the plan does not copy. Unmatched: the whole file.
uint64_t FetchedWithTable(const std::string& tablePath, const std::string& oldPath, PatchedFile* file)
{
    std::string table;
    BlockSums sums;
    struct stat st;
    if (!ReadBytes(tablePath, &table) || stat(oldPath.c_str(), &st) != 0 ||
        !ParseBlockSums(reinterpret_cast<const uint8_t*>(table.data()), table.size(), &sums)) {
        return static_cast<uint64_t>(file->size);
    }
    std::unique_ptr<std::FILE, FileCloser> basis(std::fopen(oldPath.c_str(), "rb"));
    std::vector<PatchStep> steps;
    if (!basis || !PlanPatch(sums, basis.get(), static_cast<uint64_t>(st.st_size), &steps)) {
        return static_cast<uint64_t>(file->size);
    }
    file->matched = true;
    return table.size() + FetchedBytes(steps);
}

}  // namespace

bool ReportPatch(const std::string& oldDir, const std::string& newDir, const std::string& name,
                 const std::vector<ListRecord>& records, PatchReport* report)
{
    std::string package, list;
    if (!ReadBytes(oldDir + "/" + name + ".cms", &package) || !InflatePackage(package, kMaxListBytes, &list)) {
        return false;
    }
    std::map<std::pair<int, std::string>, std::string> oldDigests;
    for (const ListRecord& record : ParseListRecords(list, kMaxListFiles + 1)) {
        oldDigests[{record.system, record.path}] = record.md5;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const ListRecord& record = records[i];
        auto old = oldDigests.find({record.system, record.path});
        if (old != oldDigests.end() && old->second == record.md5) continue;
        PatchedFile file;
        file.listPath = record.path;
        file.size = record.size;
        file.fetched = static_cast<uint64_t>(record.size);
        if (old != oldDigests.end()) {
            const std::string table = newDir + "/" + SumsPathOf(static_cast<uint16_t>(i + 1));
            struct stat st;
            if (stat(table.c_str(), &st) == 0) file.fetched = FetchedWithTable(table, ServedPath(oldDir, record), &file);
        }
        ++report->changedFiles;
        report->wholeBytes += static_cast<uint64_t>(record.size);
        report->fetchedBytes += file.fetched;
        report->files.push_back(file);
    }
    return true;
}

std::string PatchReportLine(const PatchReport& report, std::size_t fileCount)
{
    char line[256];
    const double share =
        report.wholeBytes > 0 ? 100.0 * static_cast<double>(report.fetchedBytes) / static_cast<double>(report.wholeBytes)
                              : 0.0;
    std::snprintf(line, sizeof line, "from build %ld: %zu of %zu files changed, %llu bytes whole, %llu fetched (%.2f%%)",
                  report.fromGeneration, report.changedFiles, fileCount,
                  static_cast<unsigned long long>(report.wholeBytes),
                  static_cast<unsigned long long>(report.fetchedBytes), share);
    return line;
}
