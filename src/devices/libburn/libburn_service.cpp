#include "devices/libburn/libburn_service.h"

#include <algorithm>
#include <set>

#include "common/log.h"
#include "devices/libburn/libburn_jobs.h"

namespace tessaline::libburn {

// ---------------------------------------------------------------------------
// Writer

LibburnWriter::LibburnWriter(DriveIdentity identity, std::shared_ptr<LibburnDrive> drive)
    : identity_(std::move(identity)), drive_(std::move(drive)) {}

QString LibburnWriter::displayName() const { return QString::fromStdString(identity_.displayName()); }
std::string LibburnWriter::ioRegistryEntryPath() const { return identity_.sysfsPath; }
std::string LibburnWriter::bsdName() const { return identity_.bsdName; }

std::string LibburnWriter::toolDeviceName() const {
  if (drive_->isPseudo()) return drive_->address().substr(std::string("stdio:").size());
  return identity_.devicePath;
}

Status LibburnWriter::mountMedium() {
  auto& mounts = drive_->mounts();
  if (!mounts.available())
    return makeError(ErrorKind::NotFound, "UDisks2 is not running, so the disc cannot be mounted from here; mount " +
                                              identity_.devicePath + " by hand");
  auto mounted = mounts.mount(identity_.devicePath);
  if (!mounted) return mounted.error();
  return {};
}

bool LibburnWriter::refresh() {
  if (drive_->jobRunning() || drive_->isPseudo()) return false;
  MediumState fresh;
  std::optional<BlockAddress> msc1;
  auto readings = readDrive(identity_.devicePath);
  std::lock_guard lock(mutex_);
  if (readings) {
    fresh = mediumStateFrom(readings.value());
    msc1 = libburn::lastSessionStart(readings.value().tracks);
    if (fresh.appendable && !fresh.blank) fresh.lastSessionStart = msc1;
  } else {
    // Logged once, not at every look: after the first, the last state holds the failure.
    const bool failedBefore = state_ && state_->readFailure;
    if (readings.error().kind == ErrorKind::PermissionDenied && !failedBefore) logLine(readings.error().message);
    fresh.readFailure = readings.error();
  }
  const bool changed = !state_ || !sameMediumState(*state_, fresh);
  state_ = fresh;
  lastSessionStart_ = msc1;
  return changed;
}

bool LibburnWriter::looksChanged() {
  if (drive_->isPseudo() || drive_->jobRunning()) return false;
  const auto quick = readQuickStatus(identity_.devicePath);
  const DriveStatus status = quick ? quick.value().status : DriveStatus::NoInfo;
  const bool changed = !quick || quick.value().mediaChanged || lastStatus_ != status ||
                       status == DriveStatus::NotReady;
  lastStatus_ = status;
  return changed;
}

MediumState LibburnWriter::mediumState() const {
  bool known = false;
  {
    std::lock_guard lock(mutex_);
    known = state_.has_value();
  }
  if (!known) const_cast<LibburnWriter*>(this)->refresh();
  std::lock_guard lock(mutex_);
  MediumState s = state_.value_or(MediumState{});
  if (drive_->jobRunning()) s.busy = true;
  s.reserved = reserved_;
  return s;
}

std::optional<BlockAddress> LibburnWriter::lastSessionStart() const {
  std::lock_guard lock(mutex_);
  return lastSessionStart_;
}

Status LibburnWriter::acquireExclusiveAccess() {
  auto ok = drive_->acquire();
  if (ok) {
    std::lock_guard lock(mutex_);
    ++exclusiveCount_;
  }
  return ok;
}

void LibburnWriter::releaseExclusiveAccess() {
  {
    std::lock_guard lock(mutex_);
    if (exclusiveCount_ == 0) return;
    --exclusiveCount_;
  }
  drive_->release();
}

Status LibburnWriter::acquireMediaReservation() {
  std::lock_guard lock(mutex_);
  reserved_ = true;
  return {};
}

void LibburnWriter::releaseMediaReservation() {
  std::lock_guard lock(mutex_);
  reserved_ = false;
}

Result<std::unique_ptr<Job>> LibburnWriter::burn(const BurnSettings& settings, const TrackProperties& track,
                                                 std::shared_ptr<TrackProducer> producer) {
  return startBurn(drive_, settings, track, std::move(producer));
}

Result<std::unique_ptr<Job>> LibburnWriter::erase() { return startErase(drive_); }

// ---------------------------------------------------------------------------
// Service

LibburnService::LibburnService(QObject* parent) : LibburnService(Options{}, parent) {}

LibburnService::LibburnService(Options options, QObject* parent)
    : DiscRecordingService(parent), options_(std::move(options)) {
  if (!options_.mounts) options_.mounts = std::make_shared<UDisksMountControl>();
  auto library = LibburnLibrary::open();
  if (library) {
    library_ = library.value();
  } else {
    libraryError_ = library.error();
    logLine(library.error().message);
  }
  timer_.setInterval(options_.pollIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &LibburnService::poll);
  updateDriveList(false);
}

LibburnService::~LibburnService() {
  timer_.stop();
  // Jobs hold their drives; what is left here is given back before libburn
  // stops (the drives are released in their destructors).
  writers_.clear();
}

std::shared_ptr<LibburnDrive> LibburnService::makeDrive(const std::string& address, const std::string& devicePath) {
  return std::make_shared<LibburnDrive>(library_, options_.mounts, address, devicePath, options_.mountTable);
}

std::vector<std::shared_ptr<Writer>> LibburnService::devices() {
  if (!timer_.isActive()) updateDriveList(false);
  return {writers_.begin(), writers_.end()};
}

void LibburnService::updateDriveList(bool notify) {
  const auto drives = listOpticalDrives(options_.sysRoot, options_.devRoot);
  std::vector<std::shared_ptr<LibburnWriter>> kept;
  std::vector<std::shared_ptr<LibburnWriter>> gone;
  std::vector<std::shared_ptr<LibburnWriter>> added;
  for (const auto& w : writers_) {
    const bool present = std::any_of(drives.begin(), drives.end(), [&](const DriveIdentity& d) {
      return d.sysfsPath == w->identity().sysfsPath && d.devicePath == w->identity().devicePath;
    });
    (present ? kept : gone).push_back(w);
  }
  for (const auto& d : drives) {
    const bool known = std::any_of(kept.begin(), kept.end(), [&](const auto& w) {
      return w->identity().sysfsPath == d.sysfsPath && w->identity().devicePath == d.devicePath;
    });
    if (!known) added.push_back(std::make_shared<LibburnWriter>(d, makeDrive(d.devicePath, d.devicePath)));
  }
  kept.insert(kept.end(), added.begin(), added.end());
  std::sort(kept.begin(), kept.end(), [&](const auto& a, const auto& b) {
    const auto rank = [&](const std::shared_ptr<LibburnWriter>& w) {
      return std::find_if(drives.begin(), drives.end(),
                          [&](const DriveIdentity& d) { return d.sysfsPath == w->identity().sysfsPath; }) -
             drives.begin();
    };
    return rank(a) < rank(b);
  });
  writers_ = std::move(kept);
  if (!notify) return;
  for (const auto& w : gone) Q_EMIT deviceDisappeared(w);
  for (const auto& w : added) Q_EMIT deviceAppeared(w);
}

void LibburnService::startNotifications() {
  updateDriveList(false);
  timer_.start();
  QTimer::singleShot(0, this, [this] {
    for (const auto& w : writers_) {
      w->looksChanged();
      w->refresh();
      Q_EMIT deviceStatusChanged(w);
    }
  });
}

void LibburnService::poll() {
  updateDriveList(true);
  for (const auto& w : writers_) {
    // A burn or erase of ours keeps the reader off the drive; its end
    // always brings a notification.
    if (w->drive()->jobRunning()) continue;
    const bool ownChange = w->drive()->mediumChanged.exchange(false);
    const bool changed = (w->looksChanged() || ownChange) && (w->refresh() || ownChange);
    if (changed) Q_EMIT deviceStatusChanged(w);
  }
}

Result<std::shared_ptr<LibburnWriter>> LibburnService::writerForImageFile(const std::filesystem::path& file) {
  if (!library_) return *libraryError_;
  const std::filesystem::path absolute = std::filesystem::absolute(file);
  DriveIdentity identity;
  identity.bsdName = absolute.filename().string();
  identity.sysfsPath = "stdio:" + absolute.string();
  identity.vendor = "Image file";
  identity.model = absolute.filename().string();
  return std::make_shared<LibburnWriter>(identity, makeDrive("stdio:" + absolute.string(), std::string()));
}

}  // namespace tessaline::libburn
