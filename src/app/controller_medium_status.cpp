// The media status monitor: rebuilds the disc status record on every status
// notification of the selected writer, and loads a continuable disc's
// content into the burn list once its volume is mounted. The wait for the
// volume polls with a timer, so the event loop keeps running; after a
// bounded time the status says the disc is not mounted, and the mount table
// is still watched in case the system mounts it later.

#include <QTimer>

#include <cstdlib>

#include "app/app_controller.h"
#include "devices/mount_lookup.h"
#include "devices/mount_table.h"
#include "devices/session_addresses.h"

namespace tessaline {
namespace {

constexpr int kDefaultMountWaitSeconds = 20;
constexpr int kVolumePollMs = 1000;
// Once the wait has given up, the mount table is still watched at this pace.
constexpr int kSlowVolumePollMs = 2000;

const char* mediumKey(MediumKind kind) {
  switch (kind) {
    case MediumKind::CDR: return "MediaCDR";
    case MediumKind::CDRW: return "MediaCDRW";
    case MediumKind::CDROM: return "MediaCDROM";
    case MediumKind::Other: break;
  }
  return "MediaNotSupported";
}

}  // namespace

int appController::mountWaitPolls() const {
  // One poll at once, then one a second: the bound in seconds is the number
  // of pauses.
  if (const char* env = std::getenv("TESSALINE_MOUNT_WAIT_S")) {
    char* end = nullptr;
    const long seconds = std::strtol(env, &end, 10);
    if (end != env && seconds >= 0 && seconds < 3600) return static_cast<int>(seconds);
  }
  return kDefaultMountWaitSeconds;
}

std::vector<MountEntry> appController::currentMounts() const {
  std::vector<MountEntry> mounts = readMountTable();
  const auto serviceMounts = service_.serviceMounts();
  mounts.insert(mounts.end(), serviceMounts.begin(), serviceMounts.end());
  return mounts;
}

std::optional<std::string> appController::mountPathForFallbackBsdName(const std::string& fallback) const {
  const std::string bsd = theDevice_ ? theDevice_->bsdName() : std::string();
  return tessaline::mountPathForFallbackBsdName(bsd, fallback, currentMounts());
}

bool appController::mediaTessalineCompliant(const std::string& fallback) const {
  const std::string bsd = theDevice_ ? theDevice_->bsdName() : std::string();
  return tessaline::mediaTessalineCompliant(bsd, fallback, currentMounts());
}

std::vector<std::string> appController::sessionString() const {
  if (!theDevice_) return {};
  return tessaline::sessionString(theDevice_->mediumState());
}

void appController::publishStatus(DiscStatusRecord record, bool settled) {
  statusController_.setContent(std::move(record));
  if (settled) Q_EMIT statusSettled();
}

void appController::deviceStatusChanged(const std::shared_ptr<Writer>& writer) {
  if (burnInProgress_) return;
  if (!writer || !theDevice_ || !writer->isEqual(*theDevice_)) return;
  const MediumState state = theDevice_->mediumState();
  if (state.busy) return;

  // A newer notification supersedes a wait for the volume still running.
  ++mountWait_.generation;
  stopVolumeWait();
  offeredVolumeName_.reset();

  DiscStatusRecord record;
  if (state.transitioning) {
    record.deviceStatusString = strings_.localized("loadingDisc");
    publishStatus(std::move(record), false);
    removeCDRcontent();
    return;
  }
  if (state.readFailure) {
    record.deviceStatusString = QString::fromStdString(state.readFailure->message);
    publishStatus(std::move(record), true);
    return;
  }
  if (state.trayOpen || !state.present) {
    record.deviceStatusString = strings_.localized("noDisc");
    publishStatus(std::move(record), true);
    return;
  }
  const QString mediumText = strings_.localized(mediumKey(state.kind));
  record.deviceStatusString = mediumText;
  if (state.kind != MediumKind::CDR && state.kind != MediumKind::CDRW) {
    publishStatus(std::move(record), true);
    return;
  }
  if (state.erasable && !state.blank) record.eraseable = QStringLiteral("yes");
  if (!state.appendable) {
    record.deviceStatusString = withSuffix(mediumText, "closed");
    publishStatus(std::move(record), true);
    return;
  }
  if (state.blank) {
    continueStatusAfterMount(state, std::move(record), mountWait_.generation);
    return;
  }
  // A last session the writer can see is not ISO 9660 never mounts as one.
  if (state.lastSessionFormat == MediumState::SessionFormat::Other) {
    record.deviceStatusString = withSuffix(mediumText, "unsupportedfs");
    publishStatus(std::move(record), true);
    return;
  }
  // An open disc with data: wait for its volume without blocking the loop.
  publishStatus(record, false);
  mountWait_.pending = MountWait::Pending{state, std::move(record), mountWaitPolls(), false};
  pollForVolume();
}

QString appController::withSuffix(const QString& mediumText, const char* suffixKey) const {
  return QStringLiteral("%1 %2").arg(mediumText, strings_.localized(suffixKey));
}

void appController::pollForVolume() {
  if (!mountWait_.pending || burnInProgress_) return;
  auto& pending = *mountWait_.pending;
  if (mountPathForFallbackBsdName(bsdNameCache_).has_value()) {
    MountWait::Pending found = std::move(pending);
    stopVolumeWait();
    continueStatusAfterMount(found.state, std::move(found.record), mountWait_.generation);
    return;
  }
  if (!pending.notMountedShown && pending.remainingPolls-- <= 0) {
    // The volume did not come in time: say so, and go on watching the mount
    // table (more slowly), since the system may still mount it.
    pending.notMountedShown = true;
    DiscStatusRecord record = pending.record;
    record.deviceStatusString = withSuffix(*record.deviceStatusString, "notMounted");
    publishStatus(std::move(record), true);
  }
  mountWait_.timer.start(pending.notMountedShown ? kSlowVolumePollMs : kVolumePollMs);
}

void appController::stopVolumeWait() {
  mountWait_.pending.reset();
  mountWait_.timer.stop();
}

bool appController::waitingForVolume() const {
  return mountWait_.pending.has_value() && !mountWait_.pending->notMountedShown;
}

bool appController::discNotMounted() const {
  return mountWait_.pending.has_value() && mountWait_.pending->notMountedShown;
}

void appController::continueStatusAfterMount(MediumState state, DiscStatusRecord record, std::uint64_t generation) {
  if (generation != mountWait_.generation) return;
  if (!state.blank && !mediaTessalineCompliant(bsdNameCache_)) {
    record.deviceStatusString = withSuffix(*record.deviceStatusString, "unsupportedfs");
    publishStatus(std::move(record), true);
    return;
  }
  record.spaceFree = discMegabytes(state.spaceFree);
  record.spaceUsed = discMegabytes(state.spaceUsed);
  if (state.blank) {
    record.title = QStringLiteral("untitled");
    // A disc that was just erased or replaced by a blank one has no items.
    if (loadedDiscMountPath_) removeCDRcontent();
    publishStatus(std::move(record), true);
    return;
  }
  finishStatusWithVolume(state, std::move(record));
}

void appController::finishStatusWithVolume(const MediumState& state, DiscStatusRecord record) {
  const auto mountPoint = mountPathForFallbackBsdName(bsdNameCache_);
  if (!mountPoint) {
    record.deviceStatusString = withSuffix(*record.deviceStatusString, "notMounted");
    publishStatus(std::move(record), true);
    return;
  }
  const std::filesystem::path mountPath(*mountPoint);
  // The volume's name as the disc records it; the mount folder's name says
  // it only roughly (a blank name is mounted as "untitled", say).
  const bool knowsVolume = state.lastSessionFormat == MediumState::SessionFormat::Iso9660;
  const QString volumeName = knowsVolume ? displayName(state.volumeId) : displayName(lastPathComponent(mountPath));
  offeredVolumeName_ = volumeName;
  record.title = volumeName.trimmed().isEmpty() ? QStringLiteral("untitled") : volumeName;
  record.mountPath = mountPath;
  publishStatus(std::move(record), false);
  // A report for a disc that stays mounted is not a new disc: its items are
  // in the list already.
  if (loadedDiscMountPath_ != mountPath) {
    if (loadedDiscMountPath_) removeCDRcontent();
    loadCDRcontent();
    if (preferences_.boolForKey(prefs::storeBurnConfiguration)) readSettings();
  }
  Q_EMIT statusSettled();
}

void appController::mountDisc() {
  if (!theDevice_ || burnInProgress_) return;
  if (Status mounted = theDevice_->mountMedium(); !mounted) {
    showAlert("cannotMount", "cannotMountLong", {QStringLiteral("OK")}, {}, QString::fromStdString(mounted.error().message));
    return;
  }
  rereadDisc();
}

QString writeSpeedsText(const std::vector<int>& speeds) {
  QStringList parts;
  for (int speed : speeds) parts << QStringLiteral("%1x").arg(speed);
  return parts.join(QStringLiteral(", "));
}

std::vector<int> appController::writeSpeedsOf(std::size_t menuIndex) const {
  if (menuIndex >= registeredDevices_.size()) return {};
  const auto writers = service_.devices();
  const auto at = static_cast<std::size_t>(registeredDevices_[menuIndex].DRDeviceIndex);
  return at < writers.size() ? writers[at]->mediumState().writeSpeeds : std::vector<int>{};
}

MediumSummary appController::mediumSummary() const {
  MediumSummary summary;
  if (!theDevice_) return summary;
  summary.writer = true;
  const MediumState state = theDevice_->mediumState();
  if (state.readFailure) summary.unreadable = QString::fromStdString(state.readFailure->message);
  summary.trayOpen = state.trayOpen;
  summary.present = state.present && !state.trayOpen;
  if (!summary.present) return summary;
  summary.kind = state.kind;
  summary.blank = state.blank;
  summary.appendable = state.appendable;
  summary.closed = (state.kind == MediumKind::CDR || state.kind == MediumKind::CDRW) && !state.appendable;
  summary.sessions = state.writtenTracks();
  summary.freeBlocks = state.spaceFree;
  summary.usedBlocks = state.spaceUsed;
  if (state.appendable && !state.blank) summary.mounted = statusController_.content().mountPath.has_value();
  summary.volumeName = offeredVolumeName_;
  summary.writeSpeeds = state.writeSpeeds;
  if (const auto room = roomForUpdates(state)) {
    summary.usualUpdate = room->usualUpdate;
    summary.updatesLeft = room->updatesLeft;
  }
  return summary;
}

}  // namespace tessaline
