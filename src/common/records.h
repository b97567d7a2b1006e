#pragma once
// The key-value records that leave the process: burn items (the burn list,
// the stored burn configuration), the disc status record and writer records
// (the window, the CLI's --json). The key names are fixed.

#include <QString>
#include <QVariant>

#include <filesystem>
#include <optional>
#include <string>

namespace tessaline {

namespace keys {
// burn item
inline constexpr char aPath[] = "aPath";
inline constexpr char aPathComponent[] = "aPathComponent";
inline constexpr char aIcon[] = "aIcon";
inline constexpr char isPermanent[] = "isPermanent";
inline constexpr char sizeInMB[] = "sizeInMB";
// disc status record
inline constexpr char deviceStatusString[] = "deviceStatusString";
inline constexpr char eraseable[] = "eraseable";
inline constexpr char spaceFree[] = "spaceFree";
inline constexpr char spaceUsed[] = "spaceUsed";
inline constexpr char title[] = "title";
inline constexpr char mountPath[] = "mountPath";
// writer record
inline constexpr char DRDeviceIndex[] = "DRDeviceIndex";
inline constexpr char DRDeviceIORegistryPath[] = "DRDeviceIORegistryPath";
inline constexpr char DRDeviceDisplayName[] = "DRDeviceDisplayName";
inline constexpr char DRDeviceName[] = "DRDeviceName";
inline constexpr char toolDeviceName[] = "toolDeviceName";
}  // namespace keys

// One row of the burn list. Paths are byte strings: a name that is not valid
// UTF-8 must reach the disc unchanged.
struct BurnItem {
  std::filesystem::path aPath;
  std::string aPathComponent;  // bytes of the last path component
  QVariant aIcon;              // filled by the window's icon provider; never stored
  std::string isPermanent = "0";  // "0" for a source item, "1" for a permanent item
  double sizeInMB = 0.0;
  bool rememberedByDisc = false;  // restored from the disc's stored configuration; never stored

  bool permanent() const { return isPermanent == "1"; }
};

// What the window shows of the medium in the selected writer. A key that is
// not set is absent.
struct DiscStatusRecord {
  std::optional<QString> deviceStatusString;
  std::optional<QString> eraseable;  // "yes"
  std::optional<float> spaceFree;    // megabytes
  std::optional<float> spaceUsed;    // megabytes
  std::optional<QString> title;
  std::optional<std::filesystem::path> mountPath;
};

struct WriterRecord {
  int DRDeviceIndex = 0;
  std::string DRDeviceIORegistryPath;
  QString DRDeviceDisplayName;
  std::string DRDeviceName;
  std::string toolDeviceName;
};

// Shows a byte-string path or name to a person: valid UTF-8 as it is, other
// bytes escaped so they are readable and distinct.
QString displayName(const std::string& bytes);
QString displayPath(const std::filesystem::path& path);

// Last path component of a path; a trailing "/" does not count.
std::string lastPathComponent(const std::filesystem::path& path);

}  // namespace tessaline
