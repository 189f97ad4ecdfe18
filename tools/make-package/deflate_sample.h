// Whether a file is worth deflating on the wire, judged once by make-package
// so that the server never spends CPU on data that does not shrink.
#pragma once

#include <cstddef>
#include <string>

// Deflates (level 6) up to 8 pieces of 64 KiB spread over the file, the
// pieces the server would compress; true when they shrink to at most 90% of
// their bytes. False too when the file cannot be read.
bool DeflatesWell(const std::string& path);

// Stores the deflated replies of the file at path, piece by piece of
// pieceBytes, at out in the form the server sends them from (see
// deflated_chunk.h). False on an I/O error.
bool WriteDeflatedPieces(const std::string& path, std::size_t pieceBytes, const std::string& out);
