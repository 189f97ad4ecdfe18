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
#include "signing_key.h"

struct BuildSigningOptions {
    std::string keyPath;        // --sign; empty: the build is not signed
    long long sequence = -1;    // --sequence; otherwise the previous build's + 1
    long expiresDays = 30;      // --expires-days
};

// The sequence number of the build ROOT/NAME serves now, 0 when it has no
// readable manifest.
uint64_t CurrentBuildSequence(const std::string& root, const std::string& name);

// Fills the sequence and the expiry from the options, the previous build
// and the clock; a --sequence not above the previous one earns a warning.
void StampBuildManifest(const BuildSigningOptions& options, uint64_t previousSequence, uint64_t now,
                        BuildManifest* manifest, std::string* warning);

// Completes manifest (its files already listed) for the list and writes
// NAME.manifest and NAME.sig into buildDir; the call site's one step.
bool SignBuild(const SigningKey& key, const BuildSigningOptions& options, const std::string& root,
               const std::string& list, const std::string& buildDir, BuildManifest* manifest,
               std::vector<std::string>* warnings, std::string* error);

// Writes NAME.manifest and NAME.sig into buildDir.
bool WriteSignedManifest(const SigningKey& key, const BuildManifest& manifest, const std::string& buildDir,
                         std::string* error);

// Points ROOT/NAME.manifest and ROOT/NAME.sig into the current build.
bool LinkSignedManifest(const std::string& root, const std::string& name, std::string* error);
