#include "devices/libburn/libburn_drive.h"

#include "devices/libburn/drive_access.h"
#include "devices/mount_table.h"

namespace tessaline::libburn {

LibburnDrive::LibburnDrive(std::shared_ptr<LibburnLibrary> library, std::shared_ptr<MountControl> mounts,
                           std::string address, std::string devicePath, std::string mountTable)
    : library_(std::move(library)),
      mounts_(std::move(mounts)),
      address_(std::move(address)),
      devicePath_(std::move(devicePath)),
      mountTable_(std::move(mountTable)) {}

LibburnDrive::~LibburnDrive() {
  std::lock_guard lock(mutex_);
  if (grabbed_.drive != nullptr && library_) library_->release(grabbed_);
}

Status LibburnDrive::acquire() {
  std::lock_guard lock(mutex_);
  if (!library_) return makeError(ErrorKind::Internal, "The CD writing library (libburn) could not be started.");
  if (grabbed_.drive == nullptr) {
    if (!isPseudo()) {
      if (auto ok = checkDeviceAccess(devicePath_); !ok) return ok.error();
      if (auto ok = unmountDevice(devicePath_, readMountTable(mountTable_), *mounts_); !ok) return ok.error();
      if (auto ok = checkNotBusy(devicePath_); !ok) return ok.error();
    }
    library_->takeMessages();  // what is left from before is not about this grab
    auto grabbed = library_->grab(address_);
    if (!grabbed) return grabbed.error();
    grabbed_ = grabbed.value();
  }
  ++count_;
  return {};
}

void LibburnDrive::release() {
  std::lock_guard lock(mutex_);
  if (count_ == 0) return;
  if (--count_ == 0 && grabbed_.drive != nullptr) library_->release(grabbed_);
}

void LibburnDrive::dropGrab() {
  std::lock_guard lock(mutex_);
  if (grabbed_.drive != nullptr) library_->release(grabbed_);
}

bool LibburnDrive::held() const {
  std::lock_guard lock(mutex_);
  return grabbed_.drive != nullptr;
}

burn::burn_drive* LibburnDrive::drive() const {
  std::lock_guard lock(mutex_);
  return grabbed_.drive;
}

bool LibburnDrive::beginJob() {
  bool expected = false;
  return jobRunning_.compare_exchange_strong(expected, true);
}

void LibburnDrive::endJob() {
  mediumChanged = true;
  jobRunning_ = false;
}

}  // namespace tessaline::libburn
