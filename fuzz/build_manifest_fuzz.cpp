// Feeds arbitrary bytes to the signed manifest's parser. Whatever it accepts
// must stay inside the bounds and be exactly what formatting it gives back:
// one manifest has one byte form, so a signature covers one meaning.
#include <cstddef>
#include <cstdint>
#include <string>

#include "files/build_manifest.h"
#include "files/list_path_check.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BuildManifest manifest;
    if (!ParseBuildManifest(data, size, &manifest)) return 0;
    fuzz::require(size <= kBuildManifestMaxBytes);
    fuzz::require(!manifest.packageName.empty() && manifest.packageName.size() <= kBuildManifestMaxName);
    fuzz::require(manifest.files.size() <= kBuildManifestMaxFiles);
    for (const BuildManifestFile& file : manifest.files) {
        fuzz::require(file.listPath.size() <= kBuildManifestMaxPath);
        fuzz::require(IsSafeListPath(file.listPath.c_str()));
    }
    fuzz::require(FormatBuildManifest(manifest) == std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
