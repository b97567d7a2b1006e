#pragma once
// Unmounting a disc before the drive is grabbed, and mounting it again after
// a burn, through UDisks2 on the system bus (as the desktop does it, so the
// user needs no privileges of their own).

#include <QString>

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "devices/disc_recording_service.h"

namespace tessaline::libburn {

class MountControl {
 public:
  virtual ~MountControl() = default;
  virtual bool available() = 0;
  virtual Status unmount(const std::string& devicePath) = 0;
  // Answers the mount point.
  virtual Result<std::string> mount(const std::string& devicePath) = 0;
  // Asks the system to look at the medium again (after a burn or erase the
  // kernel and udev may still hold the old table of contents).
  virtual void rescan(const std::string& devicePath) = 0;
};

class UDisksMountControl : public MountControl {
 public:
  bool available() override;
  Status unmount(const std::string& devicePath) override;
  Result<std::string> mount(const std::string& devicePath) override;
  void rescan(const std::string& devicePath) override;

 private:
  std::string blockObject(const std::string& devicePath);
};

// The UDisks2 object path of a block device: /dev/sr0 ->
// /org/freedesktop/UDisks2/block_devices/sr0 (other characters than letters
// and digits become _xx in hex, as UDisks2 names them).
std::string udisksBlockObjectPath(std::string_view devicePath);

// A failed UDisks2 call as a typed error. action is "unmount" or "mount".
Error errorFromUDisksReply(const QString& errorName, const QString& message, const std::string& action,
                           const std::string& devicePath);

// The volumes mounted from one device (or a slice of it), as the mount
// lookup matches them.
std::vector<MountEntry> mountsOfDevice(const std::vector<MountEntry>& mounts, const std::string& devicePath);

// Unmounts every volume of the device so that it can be grabbed. Nothing
// mounted: nothing to do, whether UDisks2 runs or not.
Status unmountDevice(const std::string& devicePath, const std::vector<MountEntry>& mounts, MountControl& control);

}  // namespace tessaline::libburn
