#pragma once
// One drive as the writer and its jobs share it: exclusive access (unmount,
// then grab with libburn), counted, and the mark that a job is running.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "common/result.h"
#include "devices/libburn/burn_library.h"
#include "devices/libburn/udisks_mounts.h"

namespace tessaline::libburn {

class LibburnDrive {
 public:
  // address: what libburn grabs ("/dev/sr0" or "stdio:/file"); devicePath:
  // the device node for ioctls and UDisks2, empty for a pseudo-drive.
  LibburnDrive(std::shared_ptr<LibburnLibrary> library, std::shared_ptr<MountControl> mounts, std::string address,
               std::string devicePath, std::string mountTable);
  ~LibburnDrive();
  LibburnDrive(const LibburnDrive&) = delete;
  LibburnDrive& operator=(const LibburnDrive&) = delete;

  // Counted: the first acquire unmounts the disc and grabs the drive, the
  // last release gives it back. An acquire while the grab was dropped for
  // mounting grabs again.
  Status acquire();
  void release();
  // Gives the grab back but keeps the count, so the system can mount the
  // disc after a burn while the caller still holds exclusive access.
  void dropGrab();
  bool held() const;

  // The grabbed drive; valid between acquire() and release().
  burn::burn_drive* drive() const;

  // A burn or erase runs: the status reader stays off the drive meanwhile.
  bool beginJob();
  void endJob();
  bool jobRunning() const { return jobRunning_.load(); }

  LibburnLibrary& library() { return *library_; }
  MountControl& mounts() { return *mounts_; }
  const std::string& address() const { return address_; }
  const std::string& devicePath() const { return devicePath_; }
  bool isPseudo() const { return devicePath_.empty(); }

  // Set when our own burn or erase has changed the medium.
  std::atomic<bool> mediumChanged{false};

 private:
  std::shared_ptr<LibburnLibrary> library_;
  std::shared_ptr<MountControl> mounts_;
  std::string address_;
  std::string devicePath_;
  std::string mountTable_;
  mutable std::mutex mutex_;
  int count_ = 0;
  GrabbedDrive grabbed_;
  std::atomic<bool> jobRunning_{false};
};

}  // namespace tessaline::libburn
