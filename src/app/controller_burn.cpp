// The Burn control's checks, the duplicate-name question, and the burn
// pipeline: stage the next session, build its image with the image
// tool while the event loop keeps running, then hand the image to the writer
// as one appendable data track.

#include <QThread>
#include <QTimer>

#include <algorithm>

#include "app/app_controller.h"
#include "burn/image_build.h"
#include "burn/image_tool.h"
#include "burn/producer.h"
#include "burn/progress_watcher.h"
#include "catalogue/burn_configuration.h"
#include "catalogue/previous_session.h"
#include "common/log.h"
#include "devices/session_addresses.h"
#include "staging/staging_folder.h"
#include "staging/staging_journal.h"

namespace tessaline {
namespace {

// How long a burn waits for the medium reservation another program holds.
constexpr int kReservationPolls = 60;  // at 500 ms
constexpr int kReservationPollMs = 500;
// How long a burn waits for a writer another program holds for a moment.
constexpr int kAccessAttempts = 25;  // at 200 ms
constexpr int kAccessRetryMs = 200;

}  // namespace

void appController::attemptBurn() {
  if (burnInProgress_) {
    // The sheets cover the window during a burn; only a second front-end
    // action can get here.
    showAlert("cannotBurn", "burnAlreadyRunning", {QStringLiteral("OK")});
    return;
  }
  if (const auto refusal = burnRefusal()) {
    showAlert(refusal->messageKey, refusal->informativeKey, {QStringLiteral("OK")}, {}, refusal->detail);
    return;
  }
  duplicateWarning();
}

std::optional<BurnRefusal> appController::burnRefusal() const {
  const DiscStatusRecord& status = statusController_.content();
  if (!status.title.has_value()) {
    // Three different reasons, three different texts: nothing in the tray, a
    // disc that takes no more sessions, a disc that cannot be continued.
    const MediumSummary medium = mediumSummary();
    if (medium.unreadable) return BurnRefusal{"cannotBurn", "writerUnreadable", *medium.unreadable};
    const char* why = "noCdInDrive";
    if (medium.present && medium.closed) why = "discClosed";
    else if (discNotMounted()) why = "discNotMountedLong";
    else if (medium.present && (medium.kind == MediumKind::CDR || medium.kind == MediumKind::CDRW)) why = "discUnsupported";
    else if (medium.present) why = "discNotWritable";
    return BurnRefusal{"cannotBurn", why, {}};
  }
  const bool anySource = std::any_of(sessionContentController_.items().begin(), sessionContentController_.items().end(),
                                     [](const BurnItem& item) { return !item.permanent(); });
  if (!anySource) return BurnRefusal{"cannotBurn", "nothingToBurn", {}};
  // The stored sources would take that source's place at the top of the session.
  if (preferences_.boolForKey(prefs::storeBurnConfiguration)) {
    for (const BurnItem& item : sessionContentController_.items()) {
      if (!item.permanent() && item.aPathComponent == kBurnConfigurationFileName)
        return BurnRefusal{"cannotBurn", "sourceNamedLikeStoredSources", QString::fromStdString(item.aPath.string())};
    }
  }
  const double spaceFree = status.spaceFree.has_value() ? static_cast<double>(*status.spaceFree) : 0.0;
  const double sum = sessionContentController_.sumSizeInMB();
  if (spaceFree >= sum) return std::nullopt;  // a NaN on either side fails this test and is refused
  // One decimal, or as many as tell the two apart: a few kilobytes over a
  // nearly full disc must not read "needs 0.0 MB; 0.0 MB are free".
  int decimals = 1;
  while (decimals < 6 && QString::number(sum, 'f', decimals) == QString::number(spaceFree, 'f', decimals)) ++decimals;
  return BurnRefusal{"cannotBurn", "notEnoughSpaceToBurn",
                     QStringLiteral("The burn list needs %1 MB; %2 MB are free on the disc.")
                         .arg(QString::number(sum, 'f', decimals), QString::number(spaceFree, 'f', decimals))};
}

void appController::duplicateWarning() {
  const auto discTree = continuedDiscTree();
  if (!discTree) {
    performBurn();
    return;
  }
  const auto discNames = discRootNames(*discTree);
  for (const BurnItem& item : sessionContentController_.items()) {
    if (item.isPermanent != "0") continue;
    for (const std::string& name : discNames) {
      if (name == item.aPathComponent) {
        showAlert("duplicateFilesWarning", "duplicateFilesWarningLong", {QStringLiteral("OK"), QStringLiteral("Cancel")},
                  [this](int code) { duplicateWarningDidEnd(code); });
        return;
      }
    }
  }
  performBurn();
}

void appController::duplicateWarningDidEnd(int returnCode) {
  if (returnCode == kAlertFirstButtonReturn) performBurn();
}

void appController::endImagingSheet() {
  if (!imagingSheetShown_) return;
  imagingSheetShown_ = false;
  if (outlets_.ImagingProgressIndicator != nullptr) outlets_.ImagingProgressIndicator->stopAnimation();
  if (outlets_.ImagingPanel != nullptr) outlets_.ImagingPanel->endSheet();
}

void appController::performBurn() {
  // The bar is busy before the sheet shows: the sheet paints at once, since
  // staging may hold the main thread next.
  if (auto* bar = outlets_.ImagingProgressIndicator) {
    bar->setUsesThreadedAnimation(true);
    bar->setIndeterminate(true);
    bar->startAnimation();
  }
  if (outlets_.ImagingPanel != nullptr) outlets_.ImagingPanel->beginSheet();
  imagingSheetShown_ = true;
  burnInProgress_ = true;
  cancelRequested_ = std::make_shared<std::atomic<bool>>(false);

  bsdNameCache_.clear();
  if (theDevice_ && !theDevice_->bsdName().empty()) bsdNameCache_ = theDevice_->bsdName();

  if (!theDevice_) {
    failBurnBeforeWriting(QStringLiteral("No writer is selected."));
    return;
  }
  const auto tool = locateImageTool();
  if (!tool) {
    failBurnBeforeWriting(QString::fromStdString(tool.error().message));
    return;
  }
  const int selected = outlets_.writerMenue != nullptr ? outlets_.writerMenue->indexOfSelectedItem() : 0;
  std::string toolDevice;
  if (selected >= 0 && static_cast<std::size_t>(selected) < registeredDevices_.size())
    toolDevice = registeredDevices_[static_cast<std::size_t>(selected)].toolDeviceName;

  auto folder = createStagingFolder();
  if (!folder) {
    failBurnBeforeWriting(QString::fromStdString(folder.error().message));
    return;
  }
  staging_ = std::make_unique<StagingFolder>(folder.value());

  // The staging steps walk and copy whole trees: they run on a worker
  // thread so the window stays responsive, with everything they need taken
  // now. The burn list cannot change meanwhile (the imaging sheet covers it).
  auto plan = std::make_shared<StagingPlan>(stagingPlan());
  plan->cancel = cancelRequested_;
  auto hidden = std::make_shared<std::vector<std::string>>();
  auto uncarried = std::make_shared<std::vector<std::filesystem::path>>();
  auto addsNothing = std::make_shared<bool>(false);
  auto unreadable = std::make_shared<std::vector<std::pair<std::string, std::string>>>();
  auto overlongLinks = std::make_shared<QString>();
  auto identified = std::make_shared<Result<ImageTool>>(ImageTool{tool.value()});
  const StagingFolder target = *staging_;
  const std::optional<std::filesystem::path> mergedTree = continuedDiscTree();
  stagingThread_.reset(
      QThread::create([plan, hidden, uncarried, addsNothing, unreadable, overlongLinks, identified, target, mergedTree,
                       path = tool.value()] {
        // Which tool decides what the tree needs: xorrisofs carries every name;
        // genisoimage (and an unknown tool) cannot merge an earlier session
        // holding a name Joliet cannot carry, and needs such new names hidden.
        *identified = identifyImageTool(path);
        if (!*identified) return;
        const bool carriesEveryName = continuesEveryDisc(identified->value().kind);
        if (!carriesEveryName && mergedTree) *uncarried = entriesJolietCannotCarry(*mergedTree);
        if (!uncarried->empty()) return;
        StagingJournal journal(target.stagingPath);
        runStagingPlan(*plan, target, &journal);
        *unreadable = journal.unreadable();
        if (!unreadable->empty()) return;
        const std::vector<StagedEntry> staged = journal.entries();
        *overlongLinks = linksTooLongDetail(staged, identified->value());
        if (plan->incremental && plan->mountPath)
          *addsNothing = sessionAddsNothing(staged, target.stagingPath, *plan->mountPath);
        if (!*addsNothing && !carriesEveryName) *hidden = namesToHideFromJoliet(target.stagingPath);
      }));
  connect(stagingThread_.get(), &QThread::finished, this,
          [this, toolDevice, identified, hidden, uncarried, addsNothing, unreadable, overlongLinks] {
            stagingThread_.release()->deleteLater();
            if (*cancelRequested_) {
              endBurnEarly(cancelledOutcome(false), false);
              return;
            }
            if (!*identified) {
              failBurnBeforeWriting(QString::fromStdString(identified->error().message));
              return;
            }
            if (!uncarried->empty()) {
              failBurnBeforeWriting(
                  QStringLiteral("%1 cannot continue this disc: its last session holds \"%2\"%3, a name that "
                                 "cannot go into the Joliet tree. Burn with \"Hide previous sessions\" "
                                 "(tessaline-cli burn --hide-previous), or use xorrisofs (package xorriso), which "
                                 "continues every disc.")
                      .arg(describeImageTool(identified->value()), displayPath(uncarried->front()),
                           uncarried->size() > 1 ? QStringLiteral(" and %1 more like it").arg(uncarried->size() - 1)
                                                 : QString()),
                  "discCannotBeContinued", "discCannotBeContinuedLong");
              return;
            }
            if (!unreadable->empty()) {
              // A session without them would pass for a complete copy.
              failBurnBeforeWriting(unreadableSourcesDetail(*unreadable), "cannotBurn", "sourcesUnreadable");
              return;
            }
            if (!overlongLinks->isEmpty()) {
              // The tool would write them cut short, or never finish.
              failBurnBeforeWriting(*overlongLinks, "cannotBurn", "linkTargetsTooLong");
              return;
            }
            if (*addsNothing) {
              discIsUpToDate();
              return;
            }
            stagingFinished(toolDevice, identified->value(), *hidden);
          });
  stagingThread_->start();
}

void appController::discIsUpToDate() {
  // Nothing new or newer and the same sources as the disc remembers: a
  // session would only repeat what the disc holds, and use up its space.
  BurnOutcome outcome;
  outcome.upToDate = true;
  endBurnEarly(outcome, false);
  showAlert("discUpToDate", "discUpToDateLong", {QStringLiteral("OK")}, {}, {}, true, AlertStyle::Informational);
}

void appController::stagingFinished(const std::string& toolDevice, const ImageTool& tool,
                                    const std::vector<std::string>& jolietHidden) {
  if (!theDevice_) {
    failBurnBeforeWriting(QStringLiteral("The writer is gone."));
    return;
  }
  const std::filesystem::path stagingPath = staging_->stagingPath;
  const std::string sessionText = sessionAddressText(sessionString());
  if (auto valid = checkSessionText(sessionText); !valid) {
    failBurnBeforeWriting(QString::fromStdString(valid.error().message));
    return;
  }
  burnImagePath_ = staging_->imagePath;
  sessionTextOfImage_ = sessionText;

  (void)theDevice_->acquireExclusiveAccess();
  theDevice_->releaseExclusiveAccess();

  ImageToolRequest request;
  request.volumeName = outlets_.cdNameField != nullptr ? outlets_.cdNameField->stringValue() : QString();
  request.imagePath = burnImagePath_;
  request.toolDevice = toolDevice;
  request.sessionText = sessionText;
  request.hidePreviousSessions = hidePreviousSessions_;
  request.stagingFolder = stagingPath;
  request.jolietHidden = jolietHidden;
  request.jolietUtf16 = jolietEncodingOf(tool.kind) == JolietEncoding::Utf16;

  const double targetSize = sessionContentController_.sumSizeInMB() * 1024.0 * 1024.0;
  watcher_ = std::make_unique<ProgressWatcher>();
  watcher_->startWatching(burnImagePath_, targetSize, outlets_.ImagingProgressIndicator);

  imageBuild_ = std::make_unique<ImageBuild>();
  connect(imageBuild_.get(), &ImageBuild::finished, this,
          [this](const ImageBuildResult& result) { imageBuildFinished(result.success, result.detail); });
  imageBuild_->start(tool, mkisofsArguments(request),
                     ImageBuild::ExpectedImage{burnImagePath_, nextSessionStartOf(sessionText)});
}

void appController::imageBuildFinished(bool success, const QString& detail) {
  const bool cancelled = *cancelRequested_;
  if (watcher_) watcher_->stopWatching();
  watcher_.reset();
  if (imageBuild_) imageBuild_.release()->deleteLater();
  // Deleting a large staged tree takes a while: off the main thread; the
  // private folder is removed only after it has finished.
  if (staging_) {
    waitForStagingRemoval();
    stagingRemoval_ = std::thread([folder = *staging_] { (void)removeStagingFolder(folder); });
  }

  if (cancelled) {
    endBurnEarly(cancelledOutcome(false), false);
    return;
  }
  if (!success) {
    failBurnBeforeWriting(detail);
    return;
  }
  // The medium's reservation first, then exclusive access: holding the
  // writer while waiting for a reservation another program holds would let
  // two programs wait on each other.
  if (!theDevice_->mediumState().reserved) (void)theDevice_->acquireMediaReservation();
  startBurnWhenReserved(kReservationPolls);
}

void appController::acquireAccessAndBurn(int attemptsLeft) {
  if (*cancelRequested_) {
    endBurnEarly(cancelledOutcome(false), false);
    return;
  }
  if (!theDevice_) {
    failBurnBeforeWriting("cannotBurn", "noCdInDrive", makeError(ErrorKind::NotFound, "the writer is gone"));
    return;
  }
  if (auto access = theDevice_->acquireExclusiveAccess(); !access) {
    // A hold of a moment (another program mounting or reading the disc)
    // passes; a burn in another program does not.
    if (access.error().kind == ErrorKind::Busy && attemptsLeft > 1) {
      QTimer::singleShot(kAccessRetryMs, this, [this, attemptsLeft] { acquireAccessAndBurn(attemptsLeft - 1); });
      return;
    }
    failBurnBeforeWriting("cannotBurn", "writerInUse", access.error());
    return;
  }
  holdsExclusiveAccess_ = true;
  // Another program may have written a session while the image was built:
  // an image made for other addresses must never be written.
  if (sessionAddressText(sessionString()) != sessionTextOfImage_) {
    failBurnBeforeWriting("cannotBurn", "discChangedDuringImaging",
                          makeError(ErrorKind::Busy, "the disc changed while the session image was built"));
    return;
  }
  endImagingSheet();
  startBurn();
}

void appController::failBurnBeforeWriting(const char* messageKey, const char* informativeKey, const Error& error) {
  // Nothing was written: the burn list stays as it was, for another try.
  // The sheet goes first, so that the alert is not drawn over it (at a
  // terminal, not onto the line of the imaging bar).
  endImagingSheet();
  showAlert(messageKey, informativeKey, {QStringLiteral("OK")}, {}, QString::fromStdString(error.message));
  BurnOutcome outcome;
  outcome.error = error;
  endBurnEarly(outcome, false);
}

void appController::startBurnWhenReserved(int remainingPolls) {
  if (*cancelRequested_) {
    endBurnEarly(cancelledOutcome(false), false);
    return;
  }
  if (!theDevice_) {
    failBurnBeforeWriting("cannotBurn", "noCdInDrive", makeError(ErrorKind::NotFound, "the writer is gone"));
    return;
  }
  if (!theDevice_->mediumState().reserved) {
    if (remainingPolls > 0) {
      QTimer::singleShot(kReservationPollMs, this, [this, remainingPolls] { startBurnWhenReserved(remainingPolls - 1); });
      return;
    }
    failBurnBeforeWriting("cannotBurn", "writerReservedElsewhere",
                          makeError(ErrorKind::Busy, "the medium stayed reserved by another program"));
    return;
  }
  acquireAccessAndBurn(kAccessAttempts);
}

void appController::startBurn() {
  BurnSettings settings;
  settings.mountOnCompletion = true;
  settings.underrunProtection = true;
  const int speed = outlets_.speedMenue != nullptr ? outlets_.speedMenue->selectedTag() : 0;
  if (speed != 0) {
    logLine("limiting speed to " + std::to_string(speed));
    settings.requestedSpeedKBps = static_cast<float>(speed) * 150.0f;
  }
  settings.appendable = true;
  settings.verify = !preferences_.boolForKey(prefs::disableVerification);

  auto producer = std::make_shared<Producer>();
  producer->setFilePath(burnImagePath_);
  TrackProperties track;
  track.length = producer->fileSize();

  auto job = theDevice_->burn(settings, track, producer);
  if (!job) {
    failBurnBeforeWriting("cannotBurn", "burnFailedToStart", job.error());
    return;
  }
  burnJob_ = std::move(job).value();
  connect(burnJob_.get(), &Job::finished, this, [this] { burnDidFinish(*burnJob_); });
  if (outlets_.progressPanels != nullptr)
    outlets_.progressPanels->beginBurnProgress(*burnJob_, QStringLiteral("Burning session..."));
}

void appController::cancelBurn() {
  if (!burnInProgress_ || !cancelRequested_ || *cancelRequested_) return;
  *cancelRequested_ = true;
  // Staging ends at its next step and the pending waits at their next turn;
  // the image tool and the write are stopped now.
  if (imageBuild_ && imageBuild_->isRunning()) imageBuild_->kill();
  if (burnJob_) burnJob_->cancel();
}

BurnOutcome appController::cancelledOutcome(bool writingStarted) const {
  BurnOutcome outcome;
  outcome.writingStarted = writingStarted;
  outcome.error = makeError(ErrorKind::Cancelled, writingStarted ? "the burn was stopped while the session was written"
                                                                 : "the burn was stopped before anything was written");
  return outcome;
}

void appController::failBurnBeforeWriting(const QString& detail, const char* messageKey, const char* informativeKey) {
  failBurnBeforeWriting(messageKey, informativeKey, makeError(ErrorKind::ToolFailed, detail.toStdString()));
}

void appController::endBurnEarly(const BurnOutcome& outcome, bool emptyList) {
  endImagingSheet();
  releaseBurn(emptyList);
  rereadDisc();
  Q_EMIT burnFinished(outcome);
}

bool appController::burnDidFinish(Job& burn) {
  const JobStatus status = burn.status();
  BurnOutcome outcome;
  outcome.writingStarted = true;
  outcome.written = status.phase == JobPhase::Succeeded;
  outcome.error = status.error;
  // A stop after the last block leaves a whole session on the disc.
  if (status.phase == JobPhase::Cancelled && status.sessionRecorded) {
    outcome.writtenUnverified = true;
    outcome.error = makeError(ErrorKind::Cancelled,
                              "the burn was stopped while the written session was verified: the disc holds the "
                              "session, unverified");
  }
  releaseBurn(true);
  if (burnJob_) burnJob_.release()->deleteLater();
  // The notifications of the remount came while the burn still ran and were
  // dropped: read the disc again now.
  rereadDisc();
  Q_EMIT burnFinished(outcome);
  return true;
}

void appController::rereadDisc() {
  if (!theDevice_) return;
  auto device = theDevice_;
  QTimer::singleShot(0, this, [this, device] { deviceStatusChanged(device); });
}

void appController::releaseBurn(bool emptyList) {
  waitForStagingRemoval();
  if (staging_) {
    // The partial image, if any, goes with the private folder.
    (void)removePrivateFolder(*staging_);
    staging_.reset();
  }
  burnImagePath_.clear();
  if (emptyList) {
    sessionContentController_.removeAll();
    loadedDiscMountPath_.reset();
    setHidePreviousSessions(false);
  }
  burnInProgress_ = false;
  if (theDevice_ && holdsExclusiveAccess_) theDevice_->releaseExclusiveAccess();
  holdsExclusiveAccess_ = false;
}

}  // namespace tessaline
