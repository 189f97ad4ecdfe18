// What a player of an older build fetches of the new one: for the operator,
// who pays for every byte, printed by make-package after each build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "list_format.h"

struct PatchedFile {
    std::string listPath;
    int64_t size = 0;
    // On the wire for a player holding the old build: the table and the
    // ranges it lacks, or the whole file when nothing of it can be matched.
    uint64_t fetched = 0;
    bool matched = false;
};

struct PatchReport {
    long fromGeneration = 0;
    std::size_t changedFiles = 0;
    uint64_t wholeBytes = 0;    // of the changed files, as a player without tables fetches them
    uint64_t fetchedBytes = 0;  // what a player of the old build fetches
    std::vector<PatchedFile> files;
};

// The report for a player of the build in oldDir who updates to the build
// in newDir with these records (serial i + 1 is records[i]), by matching the
// new build's tables against the old build's files of the same list path.
// False when the old build's list cannot be read.
bool ReportPatch(const std::string& oldDir, const std::string& newDir, const std::string& name,
                 const std::vector<ListRecord>& records, PatchReport* report);

// "from build 4: 2 of 10 files changed, 209715200 bytes whole, 1196032 fetched (0.57%)"
std::string PatchReportLine(const PatchReport& report, std::size_t fileCount);
