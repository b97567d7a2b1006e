#pragma once
// The disc recording service for the real optical drives (/dev/sr*),
// written to through libburn.

#include <QTimer>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devices/disc_recording_service.h"
#include "devices/libburn/burn_library.h"
#include "devices/libburn/drive_access.h"
#include "devices/libburn/libburn_drive.h"
#include "devices/libburn/udisks_mounts.h"

namespace tessaline::libburn {

class LibburnWriter : public Writer {
 public:
  LibburnWriter(DriveIdentity identity, std::shared_ptr<LibburnDrive> drive);

  QString displayName() const override;
  std::string ioRegistryEntryPath() const override;  // the drive's sysfs path
  std::string bsdName() const override;              // "sr0"
  std::string toolDeviceName() const override;       // "/dev/sr0"
  bool isEmulated() const override { return false; }

  // The medium as last read (reading it now when it never was); busy while
  // a burn or erase of ours runs on the drive.
  MediumState mediumState() const override;

  Status acquireExclusiveAccess() override;
  void releaseExclusiveAccess() override;
  // Reservation only marks the medium as this process's choice; Linux has no
  // arbitration of media between programs.
  Status acquireMediaReservation() override;
  void releaseMediaReservation() override;

  Result<std::unique_ptr<Job>> burn(const BurnSettings& settings, const TrackProperties& track,
                                    std::shared_ptr<TrackProducer> producer) override;
  Result<std::unique_ptr<Job>> erase() override;
  // Mounts the disc through UDisks2, as the desktop would.
  Status mountMedium() override;

  // Reads the drive again; answers whether the medium state changed. Leaves
  // the drive alone while a job of ours runs on it.
  bool refresh();
  // Whether the drive reports a change since the last look (cheap: tray and
  // media-change ioctls only).
  bool looksChanged();
  // The start of the disc's last session (burn_disc_get_msc1's answer), as
  // last read.
  std::optional<BlockAddress> lastSessionStart() const;
  const DriveIdentity& identity() const { return identity_; }
  const std::shared_ptr<LibburnDrive>& drive() const { return drive_; }

 private:
  DriveIdentity identity_;
  std::shared_ptr<LibburnDrive> drive_;
  mutable std::mutex mutex_;
  mutable std::optional<MediumState> state_;
  mutable std::optional<BlockAddress> lastSessionStart_;
  std::optional<DriveStatus> lastStatus_;
  bool reserved_ = false;
  int exclusiveCount_ = 0;
};

class LibburnService : public DiscRecordingService {
  Q_OBJECT
 public:
  struct Options {
    std::filesystem::path sysRoot = "/sys";
    std::filesystem::path devRoot = "/dev";
    std::string mountTable = "/proc/self/mounts";
    std::shared_ptr<MountControl> mounts;  // UDisks2 when absent
    int pollIntervalMs = 1000;
  };

  explicit LibburnService(QObject* parent = nullptr);
  LibburnService(Options options, QObject* parent = nullptr);
  ~LibburnService() override;

  // The optical drives, ordered by their number (sr0, sr1, ...).
  std::vector<std::shared_ptr<Writer>> devices() override;
  // Real drives are mounted by the system: see /proc/self/mounts.
  std::vector<MountEntry> serviceMounts() const override { return {}; }
  void startNotifications() override;

  // Whether libburn could be started; without it drives are listed but
  // cannot be written.
  std::optional<Error> libraryError() const { return libraryError_; }

  // A writer on libburn's stdio pseudo-drive: the "disc" is the given
  // regular file. It writes like a drive (single session only) and serves
  // to exercise the write path without a drive.
  Result<std::shared_ptr<LibburnWriter>> writerForImageFile(const std::filesystem::path& file);

 private:
  void poll();
  void updateDriveList(bool notify);
  std::shared_ptr<LibburnDrive> makeDrive(const std::string& address, const std::string& devicePath);

  Options options_;
  std::shared_ptr<LibburnLibrary> library_;
  std::optional<Error> libraryError_;
  std::vector<std::shared_ptr<LibburnWriter>> writers_;
  QTimer timer_;
};

}  // namespace tessaline::libburn
