// The static tree that signed builds leave under ROOT for plain HTTP mirrors:
//
//   ROOT/.http/objects/<h0h1>/<h>   a listed file's bytes; h is the lowercase
//                                   hex SHA-256 the signed manifest gives it
//   ROOT/.http/sums/<h0h1>/<h>      its block-sum table, where it has one
//
// A name is its content, so an object never changes its bytes and a file
// that stays the same across builds keeps its URL: caches may keep it
// forever. Only signed builds write here: a client takes a mirror's bytes
// only when a signed manifest vouches for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr char kHttpTreeFolder[] = ".http";

struct HttpObjectSource {
    std::string sha256Hex;
    std::string filePath;  // the build's own copy of the file
    std::string sumsPath;  // its table in the build; empty when it has none
};

struct HttpTreeCounts {
    std::size_t objects = 0;     // distinct objects the build names
    std::size_t newObjects = 0;  // of those, written by this build
    std::size_t newTables = 0;
};

std::string Sha256Hex(const uint8_t digest[32]);

// Below ROOT/.http, as below a mirror's base URL.
std::string HttpObjectPath(const std::string& sha256Hex);
std::string HttpSumsPath(const std::string& sha256Hex);

// Writes the objects and tables of sources that the tree lacks, each by a
// hard link to the build's file where the filesystem allows, else by a copy
// under a temporary name and a rename. One already there is left as it is;
// one of another size means the tree was damaged, and fails.
bool WriteHttpObjects(const std::string& root, const std::vector<HttpObjectSource>& sources, HttpTreeCounts* counts,
                      std::string* error);

// Removes the objects and tables that no manifest of a build kept under
// ROOT/.store names, of any package; returns how many went. A kept manifest
// that cannot be read leaves everything in place, with a warning.
std::size_t PruneHttpObjects(const std::string& root, std::vector<std::string>* warnings);
