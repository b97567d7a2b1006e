#pragma once
// The application controller: holds all state of the application and runs
// nearly every operation, on the main thread. The two front ends create one,
// hand it their window parts, and call its actions.

#include <QObject>
#include <QPointer>
#include <QStringList>

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
#include "devices/disc_recording_service.h"

class QThread;
class QTimer;

namespace tessaline {

class ValueTransformerRegistry;
class ProgressWatcher;
class ImageBuild;
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

// How the last burn ended, for front ends that report it (the CLI's exit status).
struct BurnOutcome {
  bool imageBuilt = false;
  bool written = false;  // the session was written (and verified, if asked)
  std::optional<Error> error;
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
  void applicationDidBecomeActive();
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
  void terminateApplication();

  // --- burn list
  void addSourceToController(const std::filesystem::path& path);
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
  std::filesystem::path collectFiles();
  void updateSourcePath(const std::filesystem::path& source, const std::filesystem::path& toPath, bool incremental,
                        const std::optional<std::filesystem::path>& comparePath);
  void resolveAliases(const std::filesystem::path& stagingRoot);
  void splitForksAtPath(const std::filesystem::path& stagingRoot);
  double sizeInMBWithPath(const std::filesystem::path& path);
  double incrementalSizeInMBWithPath(const std::filesystem::path& path);
  void updateSizeOfBurnItems();
  void performUpdateSizeOfBurnItems();
  void duplicateWarning();
  void duplicateWarningDidEnd(int returnCode);

  // --- burning and erasing
  void attemptBurn();
  void performBurn();
  bool burnDidFinish(Job& burn);
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
  // True while the status monitor waits for the disc's volume.
  bool waitingForVolume() const { return mountWait_.active; }
  // Runs collection, alias resolution, fork splitting and the catalogue
  // exactly as a burn would, into a private folder, and answers what was
  // staged; the folder is removed before it answers.
  Result<std::vector<StagedEntry>> previewNextSession();

 Q_SIGNALS:
  void hidePreviousSessionsChanged(bool hide);
  // The status monitor has finished handling a notification (no wait pending).
  void statusSettled();
  void burnFinished(const tessaline::BurnOutcome& outcome);
  void eraseFinished(bool succeeded, const QString& message);
  void writersChanged();

 private:
  struct MountWait {
    bool active = false;
    int remainingPolls = 0;
    std::uint64_t generation = 0;
  };

  void showAlert(const char* messageKey, const char* informativeKey, const QStringList& buttons,
                 std::function<void(int)> completion = {}, const QString& detail = {}, bool sheet = true);
  std::vector<MountEntry> currentMounts() const;
  void continueStatusAfterMount(MediumState state, DiscStatusRecord record, std::uint64_t generation);
  void finishStatusWithVolume(const MediumState& state, DiscStatusRecord record);
  void publishStatus(DiscStatusRecord record, bool settled);
  void imageBuildFinished(bool success, const QString& detail);
  void acquireAccessAndBurn(int attemptsLeft);
  void startBurnWhenReserved(int remainingPolls);
  void startBurn();
  void failBurnAfterImaging(const char* messageKey, const char* informativeKey, const Error& error);
  void failBurnBeforeWriting(const QString& detail);
  StagingPlan stagingPlan() const;
  void stagingFinished(const std::string& toolDevice, const std::filesystem::path& tool,
                       const std::vector<std::string>& jolietHidden);
  void cleanUpAfterBurn();
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
  bool burnInProgress_ = false;
  bool observing_ = false;

  // the permanent items in the list belong to the disc mounted here
  std::optional<std::filesystem::path> loadedDiscMountPath_;
  MountWait mountWait_;

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
  std::unique_ptr<Job> eraseJob_;
  std::unique_ptr<UpdateCheck> updateCheck_;
};

}  // namespace tessaline
