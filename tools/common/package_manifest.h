// ROOT/packages.txt: one "ID NAME" line per package. Every server that serves
// ROOT reads the numbers from here, so a package keeps its number across
// servers and rebuilds, and a client that reconnects keeps a valid number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr const char* kManifestFileName = "packages.txt";
// The server answers this number for a package it does not have.
constexpr uint16_t kUnknownPackageId = 0xFFFF;
// The request's name field holds 99 bytes.
constexpr std::size_t kMaxPackageNameLength = 99;

struct ManifestEntry {
    uint16_t id = 0;
    std::string name;
};

// Empty when name can be a package name, else why it cannot.
std::string CheckPackageName(const std::string& name);

// Blank lines and lines starting with "#" are skipped. False with a reason
// for a malformed line, a duplicate name or a duplicate number.
bool ParseManifest(const std::string& text, std::vector<ManifestEntry>* entries, std::string* error);
std::string FormatManifest(const std::vector<ManifestEntry>& entries);

// A missing manifest is an empty one.
bool ReadManifest(const std::string& path, std::vector<ManifestEntry>* entries, std::string* error);

// Gives name its number: the one it already has, forcedId when given (>= 0),
// else the next free number (never 0xFFFF). False with a reason when forcedId
// is out of range or belongs to another name. Forcing a new number on an
// existing name renumbers it: clients of the old number must start again.
bool AssignPackageId(std::vector<ManifestEntry>* entries, const std::string& name, long forcedId,
                     uint16_t* id, std::string* error);
