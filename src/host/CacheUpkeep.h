#pragma once
// The cache's upkeep at start: the manifest the web site publishes, read
// against the version file that remembers what the cache holds of each module.
#include <string>

namespace host {

// The manifest's name on the web site and in the cache directory.
inline constexpr const char* kManifestName = "tovan.xml";

// Deletes the directory of each module whose version in the manifest differs
// from the version file's (the whole cache when there is no usable version
// file, or a manifest without modules), then saves the version file. The
// manifest stays in the cache. False, with nothing changed, when the manifest
// cannot be opened. Both files may hold anything: the manifest comes from the
// network, either file from a damaged disk.
bool ApplyManifest(const std::string& cacheDir);

}  // namespace host
