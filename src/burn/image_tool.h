#pragma once
// The image tool (genisoimage's mkisofs): where it is, the argument lists
// that build a first or a continued session, and the names its Joliet tree
// must leave out.

#include <QString>

#include <filesystem>
#include <string>
#include <vector>

#include "common/result.h"

namespace tessaline {

struct ImageToolRequest {
  QString volumeName;                   // passed as UTF-8, possibly empty
  std::filesystem::path imagePath;      // "-o"
  std::string toolDevice;               // "-M": the writer's toolDeviceName
  std::string sessionText;              // "0", or "<last session start>,<next session start>"
  bool hidePreviousSessions = false;    // continued without "-M"
  std::filesystem::path stagingFolder;  // the tree to build from
  std::vector<std::string> jolietHidden;  // patterns from namesToHideFromJoliet
};

// The argument list (without the program name):
//   first session (sessionText "0"):
//     -quiet -D -J -joliet-long -V <vol> -r -o <image> <staging>
//   continued:
//     -quiet -D -r -J -joliet-long -V <vol> -o <image> [-M <device>] -C <session> <staging>
// with one "-hide-joliet <pattern>" pair per jolietHidden entry just before
// the staging folder.
std::vector<std::string> mkisofsArguments(const ImageToolRequest& request);

// Entries of the tree (relative paths, links not followed) whose names a
// Joliet tree cannot carry: not valid UTF-8, or holding characters beyond
// UCS-2. Under a UTF-8 locale genisoimage aborts the whole image on them.
std::vector<std::filesystem::path> entriesJolietCannotCarry(const std::filesystem::path& tree);

// The "-hide-joliet" patterns that keep exactly those entries out of the
// Joliet tree while Rock Ridge keeps their exact names. genisoimage matches a
// pattern (fnmatch, FNM_PATHNAME) against each entry's own name and against
// its path as given on the command line; the patterns here are the entry
// names with * ? [ \ escaped, which match those names and nothing else (any
// other entry of the same name needs hiding too). A hidden folder takes its
// contents out of Joliet with it. Each entry is logged. Deduplicated, in the
// tree's order.
// genisoimage does not apply these patterns to entries merged from an
// earlier session with -M: a previous session holding such names makes the
// continued build fail ("Incorrectly encoded string").
std::vector<std::string> namesToHideFromJoliet(const std::filesystem::path& stagingFolder);

// The image tool: $TESSALINE_MKISOFS when set (it must then be executable),
// else TESSALINE_LIBEXECDIR/mkisofs, else <executable's folder>/../libexec/tessaline/mkisofs,
// else "mkisofs", then "genisoimage" on PATH. NotFound names every place searched.
Result<std::filesystem::path> locateImageTool();

// "0", or "A,B" of decimal numbers (digits only, below 2^31) where B lies at
// least one minimal track (300 blocks) beyond A: the last session's track
// starts at A and is at least that long, so a smaller B would overlap it.
// genisoimage takes "-C 0," and "-C 0,50" without complaint and writes an
// image that overlaps the earlier session, so such texts are refused here.
inline constexpr long long kMinimumTrackBlocks = 300;
Result<void> checkSessionText(const std::string& sessionText);

}  // namespace tessaline
