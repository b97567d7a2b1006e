#pragma once
// What the Joliet tree will show for each name of a session's tree. Rock
// Ridge keeps every name exactly; Joliet (what Windows reads) holds at most
// 103 UTF-16 units per name, no control characters and none of * / : ; ? \,
// so some names come out substituted, cut, or equal to a neighbour's (the
// image tool then numbers them). These are pure functions over names, so a
// preview can name every such entry before anything is written.
//
// The rules are libisofs's (xorrisofs with -J -joliet-long):
// - bytes that are not UTF-8 become one "_" each; with UCS-2 a character
//   beyond U+FFFF becomes "_", with UTF-16 it takes two units;
// - a control character or one of * / : ; ? \ becomes "_";
// - a folder's name is cut to 103 units; a file's name longer than 104 units
//   (103 plus its last dot) loses units from the end of its stem and keeps
//   up to three units of its extension, or more when the stem is short;
// - symbolic links and special files are not in the Joliet tree at all.

#include <QString>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

enum class JolietEncoding { Ucs2, Utf16 };

inline constexpr std::size_t kJolietMaxUnits = 103;

struct JolietName {
  std::u16string units;      // as written, before collisions are numbered
  bool substituted = false;  // a character was replaced, or a pair split by the cut
  bool cut = false;          // shortened to the limit
};

JolietName jolietName(std::string_view name, bool isFolder, JolietEncoding encoding);

// UTF-8 of Joliet units; a lone surrogate shows as U+FFFD.
std::string jolietUnitsToUtf8(const std::u16string& units);

enum class SessionEntryKind { File, Folder, Other };  // Other: links, devices, sockets, FIFOs

// The names of one session's tree, folder by folder. Relative paths are byte
// strings with "/" between components.
class SessionNameTree {
 public:
  // Adds an entry and every folder above it. An entry of the same path
  // replaces the earlier one (the new session's files replace the disc's);
  // a folder replaced by anything else takes its contents with it.
  void add(std::string_view relativePath, SessionEntryKind kind);
  // Adds every entry below root (links not followed); a missing root adds nothing.
  void addTreeOnDisk(const std::filesystem::path& root);

  // folder path ("" for the root) -> entry name -> kind
  using Folder = std::map<std::string, SessionEntryKind>;
  const std::map<std::string, Folder>& folders() const { return folders_; }

 private:
  void removeBelow(const std::string& folderPath);
  std::map<std::string, Folder> folders_;
};

struct JolietNameWarning {
  std::string path;          // relative, bytes
  std::string jolietName;    // UTF-8 of what Joliet shows (before numbering)
  bool substituted = false;
  bool cut = false;
  std::string collidesWith;  // another entry of the same folder with the same Joliet name, or empty
};

// Every entry whose Joliet name differs from its own name, or equals a
// neighbour's, in byte order of their paths.
std::vector<JolietNameWarning> jolietNameWarnings(const SessionNameTree& tree, JolietEncoding encoding);

// One line for a person: what Joliet will show instead, and why.
QString describeJolietWarning(const JolietNameWarning& warning);

}  // namespace tessaline
