// The update list as the package carries it: two header lines, then every
// record on line 3 as "\dir\file,size,system,md5" joined by ",".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The client's record path field holds 179 characters and a NUL.
constexpr std::size_t kMaxListPathLength = 179;
// The client refuses a list of 4400 records or more.
constexpr std::size_t kMaxListFiles = 4399;
// The client inflates the package into a buffer of this many bytes.
constexpr std::size_t kMaxListBytes = 300000;
// The client's classic package buffer; a larger package needs a newer client.
constexpr std::size_t kClassicPackageBytes = 120000;

struct ListRecord {
    std::string path;  // "/dir/file": begins with "/", every separator "/"
    int64_t size = 0;
    int system = 0;    // 0: below the game directory, 1: the system directory
    std::string md5;   // 32 lowercase hexadecimal digits
};

// Empty when path can stand in a list record, else why it cannot.
std::string CheckListPath(const std::string& path);

// The whole list text: the two header lines and the record line.
std::string FormatListText(const std::string& packageName, const std::vector<ListRecord>& records);

// Reads the records of line 3 the way the client does (text before a record's
// "\" skipped, a record cut before its md5 field dropped, md5 cut to 32
// characters), stopping after maxRecords records.
std::vector<ListRecord> ParseListRecords(const std::string& text, std::size_t maxRecords);
