#pragma once
// The application controller: holds all state of the application and runs
// nearly every operation, on the main thread. The two front ends create one,
// hand it their window parts, and call its actions.

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "app/preferences.h"
#include "app/session_content_model.h"
#include "app/staging_plan.h"
#include "app/status_controller.h"
#include "app/string_table.h"
#include "app/window_parts.h"
#include "devices/disc_history.h"
#include "devices/disc_recording_service.h"
#include "staging/disc_comparison.h"

class QThread;

namespace tessaline {

class ValueTransformerRegistry;
class ProgressWatcher;
class ImageBuild;
struct ImageTool;
class UpdateCheck;
struct StagingFolder;
class StagingJournal;
struct StagedEntry;

// What a drop offers: its pasteboard types and the local file names it holds.
struct DragInfo {
  QStringList types;  // MIME types, e.g. "text/uri-list"
  std::vector<std::filesystem::path> fileNames;
};
inline constexpr char kFileNamesDragType[] = "text/uri-list";

// The sources a disc's stored configuration brought back into the burn list,
// and those it names that were left out (missing here, or a system folder).
struct RestoredSources {
  std::vector<std::filesystem::path> restored;
  std::vector<std::pair<std::filesystem::path, Error>> leftOut;
};

// The medium in the selected writer in plain terms.
struct MediumSummary {
  bool writer = false;  // a writer is selected
  std::optional<QString> unreadable;  // why the writer cannot be read, when it cannot
  bool trayOpen = false;
  bool present = false;  // a disc is in the closed tray
  MediumKind kind = MediumKind::Other;
  bool blank = false;
  bool appendable = false;  // takes another session
  bool closed = false;      // a CD-R or CD-RW that takes no further session
  int sessions = 0;
  BlockCount freeBlocks;
  BlockCount usedBlocks;
  std::optional<bool> mounted;  // for a disc with sessions that can be continued
  std::optional<QString> volumeName;
  // What an update of this disc usually takes, and how many more fit.
  std::optional<BlockCount> usualUpdate;
  std::optional<std::int64_t> updatesLeft;
  // The write speeds the writer allows for this disc, as CD multiples;
  // empty when the writer has not told them.
  std::vector<int> writeSpeeds;
};

// "4x, 8x, 16x": write speeds as a person reads them.
QString writeSpeedsText(const std::vector<int>& speeds);

// How the last burn ended, for front ends that report it (the CLI's exit status).
struct BurnOutcome {
  bool writingStarted = false;  // the writer began to record the session
  bool written = false;         // the session was written (and verified, if asked)
  // Stopped while the written session was read back: the disc holds it, but
  // it was not verified.
  bool writtenUnverified = false;
  bool upToDate = false;        // nothing new for the disc: nothing was written
  std::optional<Error> error;   // Cancelled when stopped on request
};

// Why a burn would be refused before anything is staged: the alert's
// message and informative keys, and its detail.
struct BurnRefusal {
  const char* messageKey = "cannotBurn";
  const char* informativeKey = "";
  QString detail;
};

class appController : public QObject {
  Q_OBJECT
  Q_PROPERTY(bool hidePreviousSessions READ hidePreviousSessions WRITE setHidePreviousSessions NOTIFY
                 hidePreviousSessionsChanged)

 public:
  // Class-level set-up before the first controller exists: registers "IsGTZero".
  static void initialize(ValueTransformerRegistry& transformers);

  // init: the writer list, the BSD name cache, "PermanentToColourTransformer".
  appController(DiscRecordingService& service, ValueTransformerRegistry& transformers,
                Preferences preferences = Preferences(), StringTable strings = StringTable::builtIn(),
                QObject* parent = nullptr);
  ~appController() override;

  // The outlets, connected by the front end before awakeFromNib.
  void connectOutlets(const WindowParts& parts) { outlets_ = parts; }

  // --- start-up and application delegate
  void awakeFromNib();
  void applicationDidFinishLaunching();
  void initializeTessaline();
  // A front end that can make an emulated writer (the desktop one) has the
  // no-writer alert offer it; the answer creates it and starts with it.
  void setOffersEmulatedWriter(bool offer) { offersEmulatedWriter_ = offer; }
  Status createEmulatedWriter();
  void applicationDidBecomeActive();
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
  void terminateApplication();

  // --- burn list
  // Adds one source by the add rule; false when it was refused (a namesake
  // source: a beep; a path that names no file or folder, or the root: an alert).
  bool addSourceToController(const std::filesystem::path& path);
  // Adds several, in order; every refusal other than a namesake's is named
  // in one alert.
  void addSources(const std::vector<std::filesystem::path>& paths);
  void addSourcePath();
  void openPanelDidEnd(int returnCode, const std::vector<std::filesystem::path>& filenames);
  void removeSourcePath();
  int draggingEntered(const DragInfo& info) const;  // 1: copy, 0: none
  bool performDragOperation(const DragInfo& info);
  void openFiles(const std::vector<std::filesystem::path>& filenames);
  bool shouldSelectRow(int row) const;

  // --- writers, medium status, addresses
  void registerDevices();
  void changeDevice();
  void deviceAppearedDisappeared();
  void deviceStatusChanged(const std::shared_ptr<Writer>& writer);
  std::optional<std::string> mountPathForFallbackBsdName(const std::string& fallback) const;
  bool mediaTessalineCompliant(const std::string& fallback) const;
  std::vector<std::string> sessionString() const;

  // --- staging
  bool incrementalUpdateIndicated() const;
  double sizeInMBWithPath(const std::filesystem::path& path);
  double incrementalSizeInMBWithPath(const std::filesystem::path& path);
  void updateSizeOfBurnItems();
  void performUpdateSizeOfBurnItems();
  void duplicateWarning();
  void duplicateWarningDidEnd(int returnCode);

  // --- burning and erasing
  // The checks of the Burn control (disc, burn list, space), which
  // attemptBurn shows as an alert; nothing when a burn may begin.
  std::optional<BurnRefusal> burnRefusal() const;
  void attemptBurn();
  void performBurn();
  // Stops the running burn: staging at its next step and the image tool at
  // once (nothing is written), or the write in progress (what a stopped write
  // leaves on the disc is the writer's to say). The end arrives as
  // burnFinished with a Cancelled error.
  void cancelBurn();
  bool burnDidFinish(Job& burn);
  // Asks the writer to mount a disc whose volume the system has not mounted.
  void mountDisc();
  void attemptErase();
  void attemptEraseDidEnd(int returnCode);
  void performErase();

  // --- the disc's catalogue
  void writeSettingsToPath(const std::filesystem::path& folder);
  void readSettings();
  void loadCDRcontent();
  void removeCDRcontent();
  bool hidePreviousSessions() const { return hidePreviousSessions_; }
  void setHidePreviousSessions(bool hide);
  // The disc's mounted tree that the next session carries on; none when it
  // hides the earlier sessions or the disc is not mounted.
  std::optional<std::filesystem::path> continuedDiscTree() const;
  // For the next burns of this run: compare contents with the disc's copies
  // (the command line's --checksum), whatever "compareContents" says.
  void setCompareContents(bool compare) { compareContents_ = compare; }

  // --- the disc against its sources
  // Compares the mounted disc with the given sources (the burn list's when
  // none are given), by the mapping a burn uses, on a worker thread;
  // verificationFinished follows. quick: sizes and dates, nothing read.
  Status startVerification(std::vector<std::filesystem::path> sources, bool quick);
  void cancelVerification();
  bool verifying() const { return verification_ != nullptr; }

  // --- update check
  void performUpdateCheck();
  // The update alert: "OK", or "Download", which opens the web page.
  void showUpdateAlert();
  void openWebsite();

  // --- state the front ends read
  SessionContentModel& sessionContentController() { return sessionContentController_; }
  const SessionContentModel& sessionContentController() const { return sessionContentController_; }
  StatusController& statusController() { return statusController_; }
  const std::vector<WriterRecord>& registeredDevices() const { return registeredDevices_; }
  std::shared_ptr<Writer> theDevice() const { return theDevice_; }
  bool burnInProgress() const { return burnInProgress_; }
  const std::string& bsdNameCache() const { return bsdNameCache_; }
  const std::filesystem::path& burnImagePath() const { return burnImagePath_; }
  const StringTable& strings() const { return strings_; }
  Preferences& preferences() { return preferences_; }
  const ValueTransformerRegistry& valueTransformers() const { return transformers_; }
  // True while the status monitor waits for the disc's volume (the bounded wait).
  bool waitingForVolume() const;
  // True when the disc holds sessions but its volume has not been mounted in
  // time; the mount table is still watched.
  bool discNotMounted() const;
  // The medium in the selected writer in plain terms (what the status text
  // says in words).
  MediumSummary mediumSummary() const;
  // The write speeds the writer at that menu index allows for its disc.
  std::vector<int> writeSpeedsOf(std::size_t menuIndex) const;
  // The volume name the disc in the selected writer carries, which a burn
  // that continues it keeps unless the user names another; no value without
  // a continued disc.
  std::optional<QString> offeredVolumeName() const { return offeredVolumeName_; }
  // Runs collection, alias resolution, fork splitting and the catalogue
  // exactly as a burn would, into a private folder, and answers what was
  // staged, with what the disc still holds whose source is gone; the folder
  // is removed before it answers.
  Result<SessionPreview> previewNextSession();
  // The sessions of the disc in the selected writer and what each one wrote,
  // read from the disc itself.
  Result<DiscHistory> readDiscHistory() const;

 Q_SIGNALS:
  void hidePreviousSessionsChanged(bool hide);
  // The status monitor has finished handling a notification (no wait pending).
  void statusSettled();
  void burnFinished(const tessaline::BurnOutcome& outcome);
  void eraseFinished(bool succeeded, const QString& message);
  void writersChanged();
  void verificationProgress(quint64 bytesDone, quint64 bytesTotal);
  void verificationFinished(const tessaline::DiscComparison& result);
  // readSettings brought sources back from the disc (or left some out).
  void sourcesRestored(const tessaline::RestoredSources& sources);

 private:
  struct MountWait {
    struct Pending {
      MediumState state;
      DiscStatusRecord record;
      int remainingPolls = 0;
      bool notMountedShown = false;
    };
    std::optional<Pending> pending;
    QTimer timer;
    std::uint64_t generation = 0;
  };

  // Why a path may not enter the burn list, or its normal form.
  std::optional<std::string> admitSource(const std::filesystem::path& path, std::filesystem::path& normal) const;
  bool addAdmittedSource(const std::filesystem::path& path, bool rememberedByDisc);
  void refuseSources(const std::vector<std::pair<std::filesystem::path, std::string>>& refused);
  void showAlert(const char* messageKey, const char* informativeKey, const QStringList& buttons,
                 std::function<void(int)> completion = {}, const QString& detail = {}, bool sheet = true,
                 AlertStyle style = AlertStyle::Warning);
  std::vector<MountEntry> currentMounts() const;
  void pollForVolume();
  void stopVolumeWait();
  QString withSuffix(const QString& mediumText, const char* suffixKey) const;
  void selectWriter(std::shared_ptr<Writer> writer);
  void continueStatusAfterMount(MediumState state, DiscStatusRecord record, std::uint64_t generation);
  void finishStatusWithVolume(const MediumState& state, DiscStatusRecord record);
  void publishStatus(DiscStatusRecord record, bool settled);
  void imageBuildFinished(bool success, const QString& detail);
  void acquireAccessAndBurn(int attemptsLeft);
  void startBurnWhenReserved(int remainingPolls);
  void startBurn();
  // Ends a burn refused or failed before writing, with its alert; the detail form is a tool's failure.
  void failBurnBeforeWriting(const char* messageKey, const char* informativeKey, const Error& error);
  void failBurnBeforeWriting(const QString& detail, const char* messageKey = "CreateTrackAbortedWithError",
                             const char* informativeKey = "CreateTrackAbortedWithErrorLong");
  void discIsUpToDate();
  BurnOutcome cancelledOutcome(bool writingStarted) const;
  // Ends a burn before anything was written: the burn list stays.
  void endBurnEarly(const BurnOutcome& outcome, bool emptyList);
  // Gives back what the burn held; emptyList after a burn that reached the writer.
  void releaseBurn(bool emptyList);
  // Reads the selected writer's medium again (notifications are dropped during a burn).
  void rereadDisc();
  StagingPlan stagingPlan() const;
  void stagingFinished(const std::string& toolDevice, const ImageTool& tool,
                       const std::vector<std::string>& jolietHidden);
  void endImagingSheet();
  void waitForStagingRemoval();
  int mountWaitPolls() const;

  // the outlets
  WindowParts outlets_;

  // owned state
  DiscRecordingService& service_;
  ValueTransformerRegistry& transformers_;
  Preferences preferences_;
  StringTable strings_;
  SessionContentModel sessionContentController_;
  StatusController statusController_;
  std::vector<WriterRecord> registeredDevices_;
  std::shared_ptr<Writer> theDevice_;
  std::shared_ptr<Writer> reservedDevice_;
  std::filesystem::path burnImagePath_;
  std::string bsdNameCache_;
  bool hidePreviousSessions_ = false;
  bool compareContents_ = false;
  bool burnInProgress_ = false;
  bool observing_ = false;
  bool offersEmulatedWriter_ = false;

  // the permanent items in the list belong to the disc mounted here
  std::optional<std::filesystem::path> loadedDiscMountPath_;
  MountWait mountWait_;
  std::optional<QString> offeredVolumeName_;

  // the running burn
  std::unique_ptr<StagingFolder> staging_;
  std::unique_ptr<QThread> stagingThread_;
  std::thread stagingRemoval_;  // deletes the staged tree once the image is built
  std::string sessionTextOfImage_;  // the addresses the image was built for
  bool imagingSheetShown_ = false;
  bool holdsExclusiveAccess_ = false;  // taken for the burn, given back at its end
  std::unique_ptr<ProgressWatcher> watcher_;
  std::unique_ptr<ImageBuild> imageBuild_;
  std::unique_ptr<Job> burnJob_;
  std::shared_ptr<std::atomic<bool>> cancelRequested_ = std::make_shared<std::atomic<bool>>(false);
  std::unique_ptr<Job> eraseJob_;
  std::unique_ptr<UpdateCheck> updateCheck_;
  std::unique_ptr<QThread> verification_;
  std::shared_ptr<std::atomic<bool>> verificationCancel_;
};

}  // namespace tessaline
