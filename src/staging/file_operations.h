#pragma once
// The file operations staging and size estimation share. Aliases are symbolic
// links; dates are modification times read without following a link.

#include "common/result.h"

#include <sys/stat.h>

#include <filesystem>

namespace tessaline::kplextensions {

namespace fs = std::filesystem;

// YES when nothing exists at isLaterThanPath (following links) or path's date
// is later. Dates compare in whole seconds: the disc's Rock Ridge copies carry
// whole seconds, Linux files nanoseconds. A link meets a link as itself: a
// dangling link burned earlier is the same entry on the disc, not a new one.
bool pathModDate(const fs::path& path, const fs::path& isLaterThanPath);

// The same test for an entry whose own attributes (link not followed) were
// read already: its mode and modification time against the disc's copy.
bool isNewerThanDiscCopy(mode_t mode, const timespec& mtime, const fs::path& discCopy);

// Gives toPath (not followed) the modification date of from (not followed).
void cloneModDate(const fs::path& from, const fs::path& toPath);

// Creates every missing component of the path, from the root down.
void createDirectoryPath(const fs::path& path);

// YES for what staging copies: a regular file or a symbolic link (an alias
// is staged as the link itself). Anything else is logged as skipped.
bool isRegularFileType(const fs::path& path);

// For a symbolic link whose final target exists, that target's absolute path
// (every link followed); otherwise the path unchanged.
fs::path resolvedPath(const fs::path& path);

// resolvedPath(path) differs from path.
bool pathIsAlias(const fs::path& path);

// Copies one regular file (data, permission bits, every "user." extended
// attribute) or one symbolic link (as a link). Never overwrites: an existing
// destination is an error. A failed data copy leaves no partial file.
Status copyPath(const fs::path& from, const fs::path& toPath);

// Whole-second comparison of two modification times.
bool isLaterInWholeSeconds(const timespec& a, const timespec& b);

}  // namespace tessaline::kplextensions
