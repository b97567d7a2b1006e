#pragma once
// The image tool: xorrisofs (libisofs's mkisofs, package xorriso) by
// default, genisoimage as a supported choice. Where it is, which of the two
// it says it is, the argument lists that build a first or a continued
// session, and what each tool needs besides them.

#include <QString>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "burn/joliet_names.h"
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
  bool jolietUtf16 = false;               // "-joliet-utf16" (xorrisofs only)
};

// The argument list (without the program name):
//   first session (sessionText "0"):
//     -quiet -D -J -joliet-long -V <vol> -r -o <image> <staging>
//   continued:
//     -quiet -D -r -J -joliet-long -V <vol> -o <image> [-M <device>] -C <session> <staging>
// with "-joliet-utf16" when asked for, then one "-hide-joliet <pattern>" pair
// per jolietHidden entry, just before the staging folder.
std::vector<std::string> mkisofsArguments(const ImageToolRequest& request);

// Entries of the tree (relative paths, links not followed) whose names a
// Joliet tree cannot carry: not valid UTF-8, or holding characters beyond
// UCS-2. Under a UTF-8 locale genisoimage aborts the whole image on them.
// In byte order of their paths.
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
// else "xorrisofs" on PATH. NotFound names the package and every place searched.
Result<std::filesystem::path> locateImageTool();

// Which tool it is, by what it says of itself ("-version"), not by its file
// name: a link named mkisofs may lead to either.
enum class ImageToolKind {
  Xorrisofs,    // xorriso started as its mkisofs emulation
  Genisoimage,
  Other,        // anything else mkisofs-like, or a tool that would not say
};

struct ImageTool {
  std::filesystem::path path;
  ImageToolKind kind = ImageToolKind::Other;
};

// Reads the output of "<tool> -version" (standard output and error together).
// xorriso itself, not started as xorrisofs, does not take mkisofs arguments:
// InvalidInput.
Result<ImageToolKind> imageToolKindFromVersion(std::string_view versionOutput);

// Runs "<tool> -version" and reads it; blocks for up to three seconds, so
// call it off the main thread. A tool that does not answer is Other.
Result<ImageTool> identifyImageTool(const std::filesystem::path& path);

// locateImageTool, then identifyImageTool.
Result<ImageTool> findImageTool();

// The tool for a person: "xorrisofs (/usr/bin/xorrisofs, package xorriso)".
QString describeImageTool(const ImageTool& tool);

// xorrisofs writes a substitute into Joliet for a name it cannot carry, for
// new names and names merged from an earlier session alike; genisoimage (and
// any other tool, to be safe) needs such new names hidden from Joliet and
// cannot continue a disc that already holds one.
inline bool continuesEveryDisc(ImageToolKind kind) { return kind == ImageToolKind::Xorrisofs; }
// The longest link target the tool writes whole, in bytes. libisofs refuses
// 1024 and more; genisoimage writes longer targets cut short, or never
// finishes, from 166 bytes on (a target of one-letter folders beside a long
// name), so it, and any tool not known to do better, is held below that.
inline std::uint64_t longestLinkTarget(ImageToolKind kind) { return kind == ImageToolKind::Xorrisofs ? 1023 : 160; }
// xorrisofs writes UTF-16 Joliet names (-joliet-utf16): a character beyond
// U+FFFF reads back whole wherever UTF-16 is understood, and as two
// substitutes elsewhere, instead of one substitute everywhere.
inline JolietEncoding jolietEncodingOf(ImageToolKind kind) {
  return kind == ImageToolKind::Xorrisofs ? JolietEncoding::Utf16 : JolietEncoding::Ucs2;
}

// After the tool has exited with status 0: the image must hold an ISO 9660
// primary volume descriptor at block 16, be whole 2048-byte blocks, and be at
// least as long as that descriptor says (a tool may count the volume from the
// disc's start, nextSessionStart, or from the image's). Pure: the bytes of
// block 16 (fewer when the file is shorter) and the file's size.
Result<void> checkImageHead(std::string_view block16, std::uint64_t fileSize, long long nextSessionStart);
// The same on the image file.
Result<void> checkImageFile(const std::filesystem::path& image, long long nextSessionStart);
// The second number of "A,B", or 0 for "0" and anything unreadable.
long long nextSessionStartOf(const std::string& sessionText);

// "0", or "A,B" of decimal numbers (digits only, below 2^31) where B lies at
// least one minimal track (300 blocks) beyond A: the last session's track
// starts at A and is at least that long, so a smaller B would overlap it.
// genisoimage takes "-C 0," and "-C 0,50" without complaint and writes an
// image that overlaps the earlier session, so such texts are refused here.
inline constexpr long long kMinimumTrackBlocks = 300;
Result<void> checkSessionText(const std::string& sessionText);

}  // namespace tessaline
