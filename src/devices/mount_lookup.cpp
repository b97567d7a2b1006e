#include "devices/mount_lookup.h"

namespace tessaline {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::string> devicePathFor(const std::string& bsdName, const std::string& fallback) {
  const std::string& name = bsdName.empty() ? fallback : bsdName;
  // "/dev/" alone would claim every device-backed volume.
  if (name.empty()) return std::nullopt;
  return "/dev/" + name;
}

bool isMountedFromDevice(const std::string& mountedFrom, const std::string& devicePath) {
  if (devicePath.empty() || mountedFrom.compare(0, devicePath.size(), devicePath) != 0) return false;
  return mountedFrom.size() == devicePath.size() || !isDigit(mountedFrom[devicePath.size()]);
}

std::optional<std::string> mountPathForFallbackBsdName(const std::string& bsdName, const std::string& fallback,
                                                       const std::vector<MountEntry>& mounts) {
  const auto device = devicePathFor(bsdName, fallback);
  if (!device) return std::nullopt;
  for (const MountEntry& entry : mounts) {
    if (isMountedFromDevice(entry.mountedFrom, *device)) return entry.mountPoint;
  }
  return std::nullopt;
}

bool mediaTessalineCompliant(const std::string& bsdName, const std::string& fallback,
                             const std::vector<MountEntry>& mounts) {
  const auto device = devicePathFor(bsdName, fallback);
  if (!device) return false;
  for (const MountEntry& entry : mounts) {
    if (isMountedFromDevice(entry.mountedFrom, *device) && (entry.type == "iso9660" || entry.type == "cd9660")) {
      return true;
    }
  }
  return false;
}

}  // namespace tessaline
