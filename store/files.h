// Inside the store library: names of the files an event owns, and time stamps read back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace store {

// The number K of a snapshot name <base>K.jpg; nullopt for any other name.
std::optional<int64_t> SnapshotNumber(const std::string& name);
// The name of snapshot number k beside `like` (which is <base>K.jpg).
std::string SnapshotName(const std::string& like, int64_t k);
// <camera>-<start ms>.jpg, the thumbnails' names (and their .part.jpg while written).
bool IsThumbName(const std::string& name);
// The names in a folder (no . and ..); empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& folder);

}  // namespace store
