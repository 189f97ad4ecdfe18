// The signed manifest of a build, written beside its package:
//
//   .store/NAME/<g>/NAME.manifest   the manifest (docs/fast-mode.md)
//   .store/NAME/<g>/NAME.sig        ECDSA P-256 over it, r then s
//   ROOT/NAME.manifest -> NAME/NAME.manifest, ROOT/NAME.sig -> NAME/NAME.sig
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/build_manifest.h"
#include "signed_sequence.h"
#include "signing_key.h"

struct BuildSigningOptions {
    std::string keyPath;        // --sign; empty: the build is not signed
    long long sequence = -1;    // --sequence; otherwise one above the highest signed before
    long expiresDays = 30;      // --expires-days
};

// Fills the sequence and the expiry from the options, the package's signed
// builds so far and the clock. Warned: a current build that is not signed
// while earlier ones were, a --sequence not above the highest signed before.
void StampBuildManifest(const BuildSigningOptions& options, const SignedSequences& before, uint64_t now,
                        BuildManifest* manifest, std::vector<std::string>* warnings);

// Completes manifest (its files already listed) for the list, writes
// NAME.manifest and NAME.sig into buildDir and raises the package's record of
// the highest sequence signed; the call site's one step.
bool SignBuild(const SigningKey& key, const BuildSigningOptions& options, const std::string& root,
               const std::string& list, const std::string& buildDir, BuildManifest* manifest,
               std::vector<std::string>* warnings, std::string* error);

// Writes NAME.manifest and NAME.sig into buildDir.
bool WriteSignedManifest(const SigningKey& key, const BuildManifest& manifest, const std::string& buildDir,
                         std::string* error);

// Points ROOT/NAME.manifest and ROOT/NAME.sig into the current build.
bool LinkSignedManifest(const std::string& root, const std::string& name, std::string* error);
