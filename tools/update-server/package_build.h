// One build of a package as make-package left it: its folder, its package
// file and the list inflated from it, opened once and never changed. A
// connection keeps the build its package reply came from for the rest of its
// run, so the catalogue hands builds out shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "wire_protocol.h"

// The serial of a block-sum table: the record's with the top bit, never one
// of the reserved serials of the signed manifest and the mirror list.
bool IsSumsSerial(uint16_t serial);

// Half: make-package left only one of NAME.manifest and NAME.sig, or one of
// a wrong size; such a build is served as not signed, and the operator
// should hear of it.
enum class Signing { No, Yes, Half };
// "no", "yes", "half": the metrics' label.
const char* SigningLabel(Signing signing);

struct PackageBuild {
    std::string name;
    uint16_t id = 0;
    // The number of its folder under .store/NAME; 0 for a folder laid out by
    // hand, which has no number.
    long generation = 0;
    // The MD5 of the inflated list: what a client computes for the list it
    // fetched, so both sides name the build the same way.
    bool hasDigest = false;
    uint8_t listDigest[wire::kListDigestBytes] = {};
    unsigned long long device = 0, inode = 0;  // of the folder
    int dirFd = -1;
    int cmsFd = -1;
    // Serial i is files[i - 1]: a path below the build folder, empty when the
    // record cannot be served.
    std::vector<std::string> files;
    // The signed manifest and its signature make-package wrote beside the
    // package file, as the offer announces them; 0 and 0 for a build that is
    // not signed. Their paths are opened at dirFd: names in the build folder,
    // or absolute ones beside a hand-made layout's NAME.cms in the root.
    uint32_t manifestBytes = 0;
    uint16_t signatureBytes = 0;
    std::string manifestPath, signaturePath;
    Signing signing = Signing::No;
    // make-package published block sums (serial | 0x8000 answers them), and
    // the serials whose bytes are worth deflating.
    bool hasSums = false;
    std::vector<bool> deflates;

    PackageBuild() = default;
    ~PackageBuild();
    PackageBuild(const PackageBuild&) = delete;
    PackageBuild& operator=(const PackageBuild&) = delete;

    // "build 7 list 0f3a..." for logs and metrics.
    std::string label() const;
    uint32_t tag() const { return hasDigest ? wire::BuildTagOf(listDigest) : 0; }
    // make-package removed its folder: none of its files can be opened any more.
    bool removed() const;
    // A descriptor of its own for the served file and its size; -1 for an
    // unknown serial, a file that is gone or is not a regular one. The
    // reserved serials give the manifest and the signature of a signed build;
    // serial s | 0x8000 is the block-sum table of record s.
    int OpenFile(uint16_t serial, unsigned long long* size) const;
    bool Deflates(uint16_t serial) const { return serial < deflates.size() && deflates[serial]; }
    // The stored deflated replies of a marked record; -1 when there are none.
    int OpenDeflated(uint16_t serial) const;
};

// Opens the build in folder (root/folder), its package file there or, for a
// hand-made layout, at root/NAME.cms. Problems found go to messages. An older
// build, which few runs still ask for, keeps only its folder open (held false)
// and opens its package file when asked for it.
std::shared_ptr<PackageBuild> LoadBuild(const std::string& root, const std::string& folder, const std::string& name,
                                        uint16_t id, long generation, std::vector<std::string>* messages,
                                        bool held = true);

// The folder and generation ROOT/NAME points to: ".store/NAME/7" and 7 for a
// link made by make-package, NAME and 0 for anything else.
std::string CurrentBuildFolder(const std::string& root, const std::string& name, long* generation);
