// What make-package leaves in a build folder beside the served files so that
// a changed file costs only what changed in it: the block-sum table of every
// large record, and which records are worth deflating on the wire.
#pragma once

#include <cstdint>
#include <string>

// sums/<serial>: the table of record <serial>, in the bytes it travels as.
constexpr char kSumsFolder[] = "sums";
// One serial per line: the records whose bytes deflate well. The server
// compresses nothing else, so incompressible data costs it no CPU.
constexpr char kDeflateListName[] = "deflate.txt";

// deflated/<serial>: the stored deflated replies of a marked record, for
// chunks of the largest size a fast-mode client asks for.
constexpr char kDeflatedFolder[] = "deflated";

inline std::string DeflatedPathOf(uint16_t serial)
{
    return std::string(kDeflatedFolder) + "/" + std::to_string(serial);
}
inline std::string SumsPathOf(uint16_t serial) { return std::string(kSumsFolder) + "/" + std::to_string(serial); }
