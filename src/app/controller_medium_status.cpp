// The media status monitor: rebuilds the disc status record on every status
// notification of the selected writer, and loads a continuable disc's
// content into the burn list once its volume is mounted. The wait for the
// volume polls with a timer, so the event loop keeps running, and gives up
// after a bounded time.

#include <QTimer>

#include <cstdlib>

#include "app/app_controller.h"
#include "devices/mount_lookup.h"
#include "devices/mount_table.h"
#include "devices/session_addresses.h"

namespace tessaline {
namespace {

constexpr int kDefaultMountWaitSeconds = 20;

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
  mountWait_.active = false;

  DiscStatusRecord record;
  if (state.transitioning) {
    record.deviceStatusString = strings_.localized("loadingDisc");
    publishStatus(std::move(record), false);
    removeCDRcontent();
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
    record.deviceStatusString = QStringLiteral("%1 %2").arg(mediumText, strings_.localized("closed"));
    publishStatus(std::move(record), true);
    return;
  }
  if (state.blank) {
    continueStatusAfterMount(state, std::move(record), mountWait_.generation);
    return;
  }
  // An open disc with data: wait for its volume without blocking the loop.
  publishStatus(record, false);
  mountWait_.active = true;
  mountWait_.remainingPolls = mountWaitPolls();
  const std::uint64_t generation = mountWait_.generation;
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [this, state, record, generation, poll]() mutable {
    if (generation != mountWait_.generation || burnInProgress_) return;
    if (mountPathForFallbackBsdName(bsdNameCache_).has_value()) {
      mountWait_.active = false;
      continueStatusAfterMount(state, record, generation);
      return;
    }
    if (mountWait_.remainingPolls-- <= 0) {
      // The volume never came: say so, as for a file system we cannot continue.
      mountWait_.active = false;
      record.deviceStatusString =
          QStringLiteral("%1 %2").arg(*record.deviceStatusString, strings_.localized("unsupportedfs"));
      publishStatus(std::move(record), true);
      return;
    }
    QTimer::singleShot(1000, this, [poll] { (*poll)(); });
  };
  (*poll)();
}

void appController::continueStatusAfterMount(MediumState state, DiscStatusRecord record, std::uint64_t generation) {
  if (generation != mountWait_.generation) return;
  if (!state.blank && !mediaTessalineCompliant(bsdNameCache_)) {
    record.deviceStatusString =
        QStringLiteral("%1 %2").arg(*record.deviceStatusString, strings_.localized("unsupportedfs"));
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

void appController::finishStatusWithVolume(const MediumState&, DiscStatusRecord record) {
  const auto mountPoint = mountPathForFallbackBsdName(bsdNameCache_);
  if (!mountPoint) {
    record.deviceStatusString =
        QStringLiteral("%1 %2").arg(*record.deviceStatusString, strings_.localized("unsupportedfs"));
    publishStatus(std::move(record), true);
    return;
  }
  const std::filesystem::path mountPath(*mountPoint);
  record.title = displayName(lastPathComponent(mountPath));
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

}  // namespace tessaline
