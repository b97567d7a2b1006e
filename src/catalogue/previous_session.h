#pragma once
// The entries already on a mounted disc, shown in the burn list as permanent
// items.

#include <QVariant>

#include <filesystem>
#include <string>
#include <vector>

#include "common/records.h"

namespace tessaline {

// The names in the disc's root folder, hidden ones included, in the
// folder's own order; none when it cannot be listed.
std::vector<std::string> discRootNames(const std::filesystem::path& mountPath);

// One permanent item per entry of the disc's root folder, in the folder's
// own order: "aPath" is "<mountPath>/<name>", "aPathComponent" the name,
// "aIcon" the given image (shared by all), "sizeInMB" 0, "isPermanent" "1".
// The stored burn configuration ".tessaline" is not an entry of the disc's
// content and is skipped. A root folder that cannot be listed gives none.
std::vector<BurnItem> permanentItemsForDisc(const std::filesystem::path& mountPath, const QVariant& icon);

}  // namespace tessaline
