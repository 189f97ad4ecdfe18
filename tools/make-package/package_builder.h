// Turns a game tree (and a system tree) into a served package under ROOT:
//
//   ROOT/packages.txt                 "ID NAME" lines, the package numbers
//   ROOT/NAME.cms -> NAME/NAME.cms    the package (zlib stream of the list)
//   ROOT/NAME -> .store/NAME/<g>      the current build, switched by one rename
//   ROOT/.store/NAME/<g>/NAME.cms
//   ROOT/.store/NAME/<g>/files/...    game files, by their list paths
//   ROOT/.store/NAME/<g>/system/...   system files, by their list paths
//   ROOT/.store/NAME/<g>/sums/<serial> block sums of each large record
//   ROOT/.store/NAME/<g>/deflate.txt  serials of the records worth deflating
//   ROOT/.store/NAME/signed-sequence  the highest sequence ever signed
//   ROOT/.http/...                    signed builds' files for HTTP mirrors
//
// A running server opens the build through ROOT/NAME, so it sees either the
// old build or the new one whole, never a half-copied one. The newest few
// builds are kept, so that runs begun on an older one (on any server) can
// finish from it, also after a reconnect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "build_signature.h"
#include "http_tree.h"
#include "list_format.h"
#include "patch_report.h"

constexpr char kStoreFolder[] = ".store";
constexpr long kDefaultKeptBuilds = 5;
constexpr long kMaxKeptBuilds = 1000;

struct PackageBuildOptions {
    std::string name;
    std::string gameDir;
    std::string systemDir;  // empty: no system files
    std::string outRoot;
    long forcedId = -1;     // >= 0: --id
    BuildSigningOptions signing;
    // Builds kept under .store/NAME, the new one included (--keep); the one
    // the link named before is always among them.
    long keptBuilds = kDefaultKeptBuilds;
    // Block-sum tables of large files (--no-sums), the marks of files worth
    // deflating (--no-deflate), and the patch sizes from each kept build.
    bool blockSums = true;
    bool deflateMarks = true;
};

enum class BuildStatus { Built = 0, Failed = 1, Refused = 2 };

struct PackageBuildResult {
    uint16_t packageId = 0;
    std::size_t fileCount = 0;
    std::size_t listBytes = 0;
    std::size_t packageBytes = 0;
    std::string buildDir;
    uint64_t sequence = 0;  // of the signed manifest; 0 unsigned
    std::vector<std::string> warnings;
    // The HTTP tree: what a signed build added, and what pruning removed.
    HttpTreeCounts http;
    std::size_t httpRemoved = 0;
    // A player of each older kept build, newest first: what it fetches.
    std::vector<PatchReport> patches;
};

struct SourceFile {
    std::string diskPath;
    std::string listPath;  // "/dir/file" in code page 936
    int system = 0;
    int64_t size = 0;  // when walked
};

BuildStatus BuildPackage(const PackageBuildOptions& options, PackageBuildResult* result, std::string* error);

// Walks dir in byte order of the names, depth first; appends its regular
// files with their list paths. Refused: a name not valid in a list, a file
// too large for the client's 32-bit sizes.
BuildStatus CollectFiles(const std::string& dir, int system, std::vector<SourceFile>* files,
                         std::vector<std::string>* warnings, std::string* error);

// File names on this side are UTF-8; the client creates files by code page
// 936 names. False when the name is not UTF-8 or has no GBK form.
bool ToListEncoding(const std::string& utf8, std::string* gbk);

// lowercase MD5 of a file, or empty when it cannot be read.
std::string FileMd5(const std::string& path);
