// The packages under ROOT as the server answers for them: names and numbers
// from the manifest, and for each package its current build and the older
// builds make-package still keeps, each read once when the manifest changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "package_build.h"

struct ChunkAnswer {
    uint8_t flag = 0;
    std::size_t payloadBytes = 0;
};

// What ReadChunk answers for a file of the given size, before reading it.
ChunkAnswer MeasureServedPiece(unsigned long long size, uint32_t offset, std::size_t maxPayload);

// Up to maxPayload bytes from offset of an open file of the given size, with
// the flags of ReadChunk.
ChunkAnswer ReadServedPiece(int fd, unsigned long long size, uint32_t offset, std::size_t maxPayload,
                            uint8_t* payload);

class PackageCatalog {
public:
    explicit PackageCatalog(std::string root);
    ~PackageCatalog();
    PackageCatalog(const PackageCatalog&) = delete;
    PackageCatalog& operator=(const PackageCatalog&) = delete;

    // Loads the catalogue when the manifest differs from the one loaded (the
    // first call always loads). Problems found go to messages. True when the
    // catalogue was replaced.
    bool Refresh(std::vector<std::string>* messages);

    // The package's number, or 0xFFFF.
    uint16_t FindPackage(const std::string& name) const;

    // The build new runs get; null for an unknown number.
    std::shared_ptr<const PackageBuild> CurrentBuild(uint16_t packageId) const;
    // The build whose list digest begins with tag, the current one first,
    // among those whose folder is still there; null when there is none.
    std::shared_ptr<const PackageBuild> FindBuild(uint16_t packageId, uint32_t tag) const;
    // Every build it holds, each package's current one before its older ones.
    std::vector<std::shared_ptr<const PackageBuild>> Builds() const;
    // The current build as logs and metrics name it; empty for an unknown number.
    std::string BuildLabel(uint16_t packageId) const;

    // Up to maxPayload bytes of the current build's file from offset into
    // payload: flag 2 for the last piece (no bytes when offset is the end), 1
    // when more follow, 0 for an unknown package or serial, an offset past the
    // end, or a file that cannot be read.
    ChunkAnswer ReadChunk(uint16_t packageId, uint16_t serial, uint32_t offset, std::size_t maxPayload,
                          uint8_t* payload) const;

    // A descriptor of its own for the current build's file, with its size, so
    // that a client reading it chunk by chunk needs no further open or fstat;
    // -1 for an unknown package or serial, or a file that is not a regular one.
    int OpenServedFile(uint16_t packageId, uint16_t serial, unsigned long long* size) const;
    // Grows each time Refresh replaces the catalogue.
    unsigned long long generation() const { return generation_; }

    std::size_t packageCount() const { return byId_.size(); }
    // Descriptors its builds keep open: a folder each, and the package file
    // of each current one.
    std::size_t descriptorsHeld() const;
    // Records in the package's list; 0 for an unknown number.
    std::size_t fileCount(uint16_t packageId) const;

private:
    struct Package {
        std::shared_ptr<const PackageBuild> current;
        // Newest first: builds a run begun before the last publish may still
        // ask for after a reconnect.
        std::vector<std::shared_ptr<const PackageBuild>> older;
    };

    std::string root_;
    bool loaded_ = false;
    unsigned long long generation_ = 0;
    struct Signature {
        unsigned long long device = 0, inode = 0, size = 0;
        long long seconds = 0, nanoseconds = 0;
        bool exists = false;
        bool operator==(const Signature& o) const;
    } signature_;
    std::map<std::string, uint16_t> byName_;
    std::map<uint16_t, Package> byId_;
};
