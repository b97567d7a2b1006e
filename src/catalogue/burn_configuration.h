#pragma once
// The stored burn configuration: the hidden file ".tessaline" at the root of
// a session's tree, an XML property list whose root array holds one
// dictionary per source of the burn that wrote it ("aPath", "aPathComponent",
// "isPermanent", "sizeInMB"; never "aIcon").
//
// Linux names are bytes. A path that cannot be a property-list string (not
// valid UTF-8, or holding characters XML cannot carry) is stored as a readable
// string with the odd bytes replaced by U+FFFD, plus "aPathBytes" (data) with
// the exact bytes; "aPathComponent" likewise gets "aPathComponentBytes".
// Readers that do not know these keys ignore them; ours prefers "aPathBytes".

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"
#include "common/result.h"

namespace tessaline {

inline constexpr char kBurnConfigurationFileName[] = ".tessaline";
inline constexpr char kAPathBytesKey[] = "aPathBytes";
inline constexpr char kAPathComponentBytesKey[] = "aPathComponentBytes";

// Files larger than this are not read: a burn configuration lists a handful
// of paths, so anything bigger is not one of ours.
inline constexpr std::size_t kMaxBurnConfigurationBytes = 16u * 1024u * 1024u;

// Serialises the source items (isPermanent == "0") in list order; permanent
// items are left out. No source items give an empty array.
std::string serializeBurnConfiguration(const std::vector<BurnItem>& items);

// Reads an XML or binary property list (property_list.h: bounded in depth,
// values and memory) and answers the stored source paths in file order. An
// element that is not a dictionary with a usable "aPath" is skipped, as are
// relative paths and paths holding a NUL byte. A file that is not a property
// list holding a list, or that is over kMaxBurnConfigurationBytes or any
// other limit, is an error whose message completes "the file ...".
Result<std::vector<std::filesystem::path>> readBurnConfiguration(std::string_view bytes);
// The same, with nothing for an unusable file. Never fails.
std::vector<std::filesystem::path> parseBurnConfiguration(std::string_view bytes);

// Writes "<folder>/.tessaline" in place (no temporary file and rename); an
// existing file of that name is replaced. An existing symbolic link there is
// removed, never written through; a folder there makes the write fail.
Status writeSettingsToPath(const std::filesystem::path& folder, const std::vector<BurnItem>& items);

// The bytes of a file that may hold a burn configuration: a regular file of
// at most kMaxBurnConfigurationBytes. Nothing for any other file, or when
// reading fails; a FIFO in its place does not hang the reader.
std::optional<std::string> readBurnConfigurationFile(const std::filesystem::path& path);

// Reads "<mountPath>/.tessaline" and answers every stored path, in file
// order. A missing, unreadable, irregular or oversized file gives nothing;
// so does an unusable one, whose fault is logged.
std::vector<std::filesystem::path> readStoredSources(const std::filesystem::path& mountPath);

}  // namespace tessaline
