#pragma once
// The file operations staging and size estimation share. Aliases are symbolic
// links; dates are modification times read without following a link.

#include "common/result.h"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tessaline::kplextensions {

namespace fs = std::filesystem;

// YES when nothing exists at isLaterThanPath (following links), or path
// differs from it: a later date, or for anything but a folder another size
// or any other date (a file restored with an older date is a change too).
// Dates compare in whole seconds: the disc's Rock Ridge copies carry whole
// seconds, Linux files nanoseconds. A link meets a link as itself: a
// dangling link burned earlier is the same entry on the disc, not a new one.
bool pathModDate(const fs::path& path, const fs::path& isLaterThanPath);

// How an entry of the next session is told apart from its copy on the disc.
enum class ChangeTest {
  SizeAndDate,  // the size, or the modification time in whole seconds, differs (either way)
  Contents,     // the bytes differ (both are read); dates are not looked at
};

enum class DiscCopy { Missing, Same, Newer, Changed };

// A link's target as a disc keeps it: Rock Ridge drops a single trailing
// slash ("dir/" reads back as "dir", and means the same).
std::string linkTargetOnDisc(std::string target);

// What the disc holds of an entry whose own attributes (link not followed)
// were read already. A folder counts as Newer only when its date is later (a
// folder's date says little about what it holds); a link meets a link on the
// disc as itself; anything else follows a link on the disc, as the disc's
// copy of an alias is its target's content.
DiscCopy compareWithDiscCopy(const fs::path& entry, mode_t mode, std::int64_t size, const timespec& mtime,
                             const fs::path& discCopy, ChangeTest test = ChangeTest::SizeAndDate);

// True when two regular files hold the same bytes; false when either cannot be read.
bool sameContents(const fs::path& a, const fs::path& b);

// Gives toPath (not followed) the modification date of from (not followed).
void cloneModDate(const fs::path& from, const fs::path& toPath);

// For a symbolic link whose final target exists, that target's absolute path
// (every link followed); otherwise the path unchanged.
fs::path resolvedPath(const fs::path& path);

// resolvedPath(path) differs from path.
bool pathIsAlias(const fs::path& path);

// Copies one regular file (data, permission bits, every "user." extended
// attribute) or one symbolic link (as a link). Never overwrites: an existing
// destination is an error. A failed data copy leaves no partial file.
Status copyPath(const fs::path& from, const fs::path& toPath);

// A modification date as a disc keeps it. ISO 9660 and Rock Ridge dates count
// years from 1900 to 2155; outside that range xorrisofs writes the nearest end
// and genisoimage a wrong year. A date outside is staged, and compared, as a
// date inside the range instead (a day inside at the end, 1902 at the start),
// so that either tool writes it in any time zone and it reads back as staged.
timespec dateOnDisc(const timespec& date);

// Whole-second comparison of two modification times.
bool isLaterInWholeSeconds(const timespec& a, const timespec& b);

}  // namespace tessaline::kplextensions
