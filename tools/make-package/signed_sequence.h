// What make-package remembers of a package's signed builds, so that the next
// sequence never goes back: not after an unsigned build, nor once the signed
// builds are pruned from .store:
//
//   .store/NAME/signed-sequence   the highest sequence ever signed, in decimal
#pragma once

#include <cstdint>
#include <string>

constexpr char kSignedSequenceFile[] = "signed-sequence";

struct SignedSequences {
    uint64_t highest = 0;  // ever signed for the package; 0 when none was
    uint64_t current = 0;  // of the build ROOT/NAME serves now; 0 when it is not signed
};

// Takes the record and the manifests of the current and of every kept build
// (a root signed before the record was kept has only those). False, with
// error, for a record that is there but unreadable: a guess could go back.
bool ReadSignedSequences(const std::string& root, const std::string& name, SignedSequences* sequences,
                         std::string* error);

// Replaces the record by highest, in one rename.
bool RecordSignedSequence(const std::string& root, const std::string& name, uint64_t highest, std::string* error);
