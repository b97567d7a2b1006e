// The disc against its sources: is the disc a true copy, what waits for
// the next update, what was deleted since; and the disc's own history. The comparison reads the disc
// and the sources once each, on a worker thread, and can be stopped.

#include <QThread>

#include "app/app_controller.h"
#include "staging/disc_comparison.h"

namespace tessaline {

Status appController::startVerification(std::vector<std::filesystem::path> sources, bool quick) {
  if (burnInProgress_ || verification_) return makeError(ErrorKind::Busy, "the writer is at work; verify when it is done");
  const auto& mountPath = statusController_.content().mountPath;
  if (!mountPath)
    return makeError(ErrorKind::NoMedium,
                     "there is no mounted disc with sessions to verify (" +
                         statusController_.content().deviceStatusString.value_or(QString()).toStdString() + ")");
  if (sources.empty()) {
    for (const BurnItem& item : sessionContentController_.items())
      if (!item.permanent()) sources.push_back(item.aPath);
  }
  if (sources.empty()) return makeError(ErrorKind::InvalidInput, "there are no sources to verify the disc against");

  DiscComparisonOptions options;
  options.quick = quick;
  options.resolveAliases = !preferences_.boolForKey(prefs::resolveDisabled);
  options.splitForks = !preferences_.boolForKey(prefs::disableSplitForks);
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  options.cancel = cancel.get();
  // Progress goes to the main thread, at most a few times a second.
  options.progress = [this, last = std::chrono::steady_clock::time_point()](std::uint64_t done, std::uint64_t total) mutable {
    const auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::milliseconds(200) && done < total) return;
    last = now;
    QMetaObject::invokeMethod(this, [this, done, total] { Q_EMIT verificationProgress(done, total); },
                              Qt::QueuedConnection);
  };
  auto result = std::make_shared<DiscComparison>();
  verificationCancel_ = cancel;
  verification_.reset(QThread::create([result, sources, mount = *mountPath, options, cancel] {
    *result = compareDiscWithSources(sources, mount, options);
  }));
  connect(verification_.get(), &QThread::finished, this, [this, result] {
    verification_.release()->deleteLater();
    verificationCancel_.reset();
    Q_EMIT verificationFinished(*result);
  });
  verification_->start();
  return {};
}

Result<DiscHistory> appController::readDiscHistory() const {
  if (!theDevice_) return makeError(ErrorKind::NotFound, "there is no writer");
  if (burnInProgress_) return makeError(ErrorKind::Busy, "the writer is at work; look at the disc when it is done");
  const MediumState state = theDevice_->mediumState();
  if (state.readFailure) return *state.readFailure;
  if (!state.present) return makeError(ErrorKind::NoMedium, "there is no disc in " + theDevice_->displayName().toStdString());
  if (state.writtenTracks() == 0) return makeError(ErrorKind::NoMedium, "the disc is blank");
  const std::vector<TrackRecord> written(state.tracks.begin(), state.tracks.begin() + state.writtenTracks());
  return tessaline::readDiscHistory(theDevice_->toolDeviceName(), written);
}

void appController::cancelVerification() {
  if (verificationCancel_) *verificationCancel_ = true;
}

}  // namespace tessaline
