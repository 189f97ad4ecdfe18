#include "package_manifest.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <set>
#include <sstream>

std::string CheckPackageName(const std::string& name)
{
    if (name.empty()) return "the package name is empty";
    if (name.size() > kMaxPackageNameLength) {
        return "the package name is longer than " + std::to_string(kMaxPackageNameLength) + " bytes";
    }
    if (name[0] == '.') return "the package name must not begin with \".\"";
    // NAME.cms and the manifest sit beside the package's own entry in ROOT.
    if (name == kManifestFileName) return "the package name is the manifest's file name";
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".cms") == 0) {
        return "the package name must not end with \".cms\"";
    }
    for (unsigned char c : name) {
        if (c <= 0x20 || c == 0x7F) return "the package name holds a blank or a control character";
        if (c == '/' || c == '\\' || c == ',') return "the package name holds \"/\", \"\\\" or \",\"";
    }
    return std::string();
}

bool ParseManifest(const std::string& text, std::vector<ManifestEntry>* entries, std::string* error)
{
    entries->clear();
    std::istringstream in(text);
    std::string line;
    int lineNumber = 0;
    std::set<uint16_t> ids;
    std::set<std::string> names;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream fields(line);
        std::string idText;
        std::string name;
        std::string rest;
        fields >> idText >> name;
        fields >> rest;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        char* end = nullptr;
        errno = 0;
        long id = std::strtol(idText.c_str(), &end, 10);
        if (idText.empty() || *end != '\0' || errno != 0 || id < 0 || id >= kUnknownPackageId) {
            *error = where + "\"" + idText + "\" is not a package number from 0 to 65534";
            return false;
        }
        if (!rest.empty()) {
            *error = where + "expected \"ID NAME\"";
            return false;
        }
        std::string nameProblem = CheckPackageName(name);
        if (!nameProblem.empty()) {
            *error = where + nameProblem;
            return false;
        }
        if (!ids.insert(static_cast<uint16_t>(id)).second) {
            *error = where + "number " + idText + " is given twice";
            return false;
        }
        if (!names.insert(name).second) {
            *error = where + "package " + name + " is listed twice";
            return false;
        }
        entries->push_back(ManifestEntry{static_cast<uint16_t>(id), name});
    }
    return true;
}

std::string FormatManifest(const std::vector<ManifestEntry>& entries)
{
    std::vector<ManifestEntry> sorted = entries;
    std::sort(sorted.begin(), sorted.end(),
              [](const ManifestEntry& a, const ManifestEntry& b) { return a.id < b.id; });
    std::string text = "# package numbers: ID NAME (kept stable; clients keep the number across reconnects)\n";
    for (const ManifestEntry& entry : sorted) text += std::to_string(entry.id) + " " + entry.name + "\n";
    return text;
}

bool ReadManifest(const std::string& path, std::vector<ManifestEntry>* entries, std::string* error)
{
    entries->clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT) return true;
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
    bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed) {
        *error = "cannot read " + path;
        return false;
    }
    if (!ParseManifest(text, entries, error)) {
        *error = path + " " + *error;
        return false;
    }
    return true;
}

bool AssignPackageId(std::vector<ManifestEntry>* entries, const std::string& name, long forcedId,
                     uint16_t* id, std::string* error)
{
    auto own = std::find_if(entries->begin(), entries->end(),
                            [&](const ManifestEntry& e) { return e.name == name; });
    if (forcedId >= 0) {
        if (forcedId >= kUnknownPackageId) {
            *error = "--id must be from 0 to 65534 (65535 tells a client there is no such package)";
            return false;
        }
        for (const ManifestEntry& entry : *entries) {
            if (entry.id == forcedId && entry.name != name) {
                *error = "number " + std::to_string(forcedId) + " already belongs to package " + entry.name;
                return false;
            }
        }
        if (own != entries->end()) {
            own->id = static_cast<uint16_t>(forcedId);
        } else {
            entries->push_back(ManifestEntry{static_cast<uint16_t>(forcedId), name});
        }
        *id = static_cast<uint16_t>(forcedId);
        return true;
    }
    if (own != entries->end()) {
        *id = own->id;
        return true;
    }
    std::set<uint16_t> used;
    long highest = 0;
    for (const ManifestEntry& entry : *entries) {
        used.insert(entry.id);
        highest = std::max<long>(highest, entry.id);
    }
    long next = entries->empty() ? 1 : highest + 1;
    if (next >= kUnknownPackageId) {
        next = -1;
        for (long candidate = 1; candidate < kUnknownPackageId; ++candidate) {
            if (!used.count(static_cast<uint16_t>(candidate))) {
                next = candidate;
                break;
            }
        }
        if (next < 0 && !used.count(0)) next = 0;
    }
    if (next < 0) {
        *error = "every package number is taken";
        return false;
    }
    entries->push_back(ManifestEntry{static_cast<uint16_t>(next), name});
    *id = static_cast<uint16_t>(next);
    return true;
}
