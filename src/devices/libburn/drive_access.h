#pragma once
// The optical drives of the system as the kernel shows them (sysfs and
// /dev/sr*), and reading a drive's medium through ioctls on a shared,
// non-exclusive descriptor, so a mounted disc can be looked at.

#include <filesystem>
#include <string>
#include <vector>

#include "common/result.h"
#include "devices/libburn/medium_parsers.h"

namespace tessaline::libburn {

struct DriveIdentity {
  std::string bsdName;     // "sr0"
  std::string devicePath;  // "/dev/sr0"
  std::string sysfsPath;   // "/sys/devices/.../block/sr0"
  std::string vendor;      // from the drive's inquiry data, trimmed
  std::string model;
  std::string displayName() const;
  friend bool operator==(const DriveIdentity&, const DriveIdentity&) = default;
};

// The drives under <sysRoot>/class/block named sr<N>, ordered by number.
// Their device nodes are <devRoot>/sr<N>.
std::vector<DriveIdentity> listOpticalDrives(const std::filesystem::path& sysRoot = "/sys",
                                             const std::filesystem::path& devRoot = "/dev");

// The cheap look taken every second: the tray and disc state, and whether
// the kernel saw the medium change since the last look.
struct QuickStatus {
  DriveStatus status = DriveStatus::NoInfo;
  bool mediaChanged = false;
};
Result<QuickStatus> readQuickStatus(const std::string& devicePath);

// Reads what the drive says about its medium. Never takes exclusive access;
// an unreadable node gives an error (no permission: an error that names the
// group to join).
Result<DriveReadings> readDrive(const std::string& devicePath);

// The error for a device node this process may not open: names the group
// that owns the node ("cdrom" on Debian), which the user must join.
Error permissionError(const std::string& devicePath);

// Whether this process may read and write the device node; the error says
// why not (missing node, permission with the group to join).
Status checkDeviceAccess(const std::string& devicePath);

// Whether another program holds the drive exclusively (a burner, or the
// kernel for a mounted disc): tries an exclusive open.
Status checkNotBusy(const std::string& devicePath);

}  // namespace tessaline::libburn
