// Start-up in the order the application framework runs it, the no-writer
// alert, activation and quitting; and the alerts every concern shows.

#include "app/app_controller.h"

#include <QPointer>
#include <QThread>
#include <QTimer>

#include "app/cd_name_formatter.h"
#include "app/update_check.h"
#include "app/value_transformers.h"
#include "burn/image_build.h"
#include "burn/progress_watcher.h"
#include "common/log.h"
#include "devices/emulated/emulated_writers.h"
#include "staging/staging_folder.h"

namespace tessaline {

void appController::initialize(ValueTransformerRegistry& transformers) {
  transformers.registerTransformer(QStringLiteral("IsGTZero"), &IsGTZeroVT::transformedValue);
}

appController::appController(DiscRecordingService& service, ValueTransformerRegistry& transformers,
                             Preferences preferences, StringTable strings, QObject* parent)
    : QObject(parent),
      service_(service),
      transformers_(transformers),
      preferences_(std::move(preferences)),
      strings_(std::move(strings)) {
  registeredDevices_.clear();
  bsdNameCache_.clear();
  transformers_.registerTransformer(QStringLiteral("PermanentToColourTransformer"),
                                    &PermanentToColourTransformer::transformedValue);
  sessionContentController_.setValueTransformers(&transformers_);
  mountWait_.timer.setSingleShot(true);
  connect(&mountWait_.timer, &QTimer::timeout, this, &appController::pollForVolume);
}

appController::~appController() {
  // Everything that may still use the private folder ends first: the staging
  // steps, the image tool (killed and waited for) and the writer's job
  // (cancelled and joined).
  if (stagingThread_) stagingThread_->wait();
  if (verification_) {
    cancelVerification();
    verification_->wait();
  }
  imageBuild_.reset();
  burnJob_.reset();
  eraseJob_.reset();
  waitForStagingRemoval();
  // A burn that never reached its end leaves no image and no staging folder behind.
  if (staging_) (void)removePrivateFolder(*staging_);
}

void appController::waitForStagingRemoval() {
  if (stagingRemoval_.joinable()) stagingRemoval_.join();
}

void appController::awakeFromNib() {
  if (outlets_.mainWindow != nullptr) outlets_.mainWindow->setBackgroundPattern(QStringLiteral("phead.png"));
  if (outlets_.updateProgressIndicator != nullptr) outlets_.updateProgressIndicator->setUsesThreadedAnimation(true);
  if (!preferences_.valueForKey(prefs::mainWindowFrame).has_value() && outlets_.mainWindow != nullptr)
    outlets_.mainWindow->center();
  if (outlets_.mainWindow != nullptr) outlets_.mainWindow->centerPreferencePanel();
}

void appController::applicationDidFinishLaunching() {
  if (!preferences_.boolForKey(prefs::disableUpdateCheck)) performUpdateCheck();
  initializeTessaline();
}

void appController::initializeTessaline() {
  // What runs that were killed left in the temp folder goes now.
  if (const int stale = removeStaleStagingFolders(); stale > 0)
    logLine("removed " + std::to_string(stale) + " staging folder(s) left by earlier runs");
  const auto writers = service_.devices();
  if (writers.empty()) {
    if (offersEmulatedWriter_) {
      showAlert("noCdWriter", "noCdWriterOfferLong", {QStringLiteral("Quit"), QStringLiteral("CreateEmulatedWriter")},
                [this](int code) {
                  if (code != kAlertSecondButtonReturn) return terminateApplication();
                  if (Status made = createEmulatedWriter(); !made) {
                    showAlert("noCdWriter", "emulatedWriterFailed", {QStringLiteral("Quit")},
                              [this](int) { terminateApplication(); }, QString::fromStdString(made.error().message));
                    return;
                  }
                  initializeTessaline();
                });
    } else {
      showAlert("noCdWriter", "noCdWriterLong", {QStringLiteral("Quit")}, [this](int) { terminateApplication(); });
    }
  } else if (!observing_) {
    registerDevices();
    if (theDevice_) {
      (void)theDevice_->acquireMediaReservation();
      reservedDevice_ = theDevice_;
    }
    connect(&service_, &DiscRecordingService::deviceStatusChanged, this, &appController::deviceStatusChanged);
    connect(&service_, &DiscRecordingService::deviceAppeared, this, [this] { deviceAppearedDisappeared(); });
    connect(&service_, &DiscRecordingService::deviceDisappeared, this, [this] { deviceAppearedDisappeared(); });
    observing_ = true;
    service_.startNotifications();
  }
  if (outlets_.mainWindow != nullptr) outlets_.mainWindow->registerForDraggedFileNames();
  if (outlets_.cdNameField != nullptr) outlets_.cdNameField->setFormatter(std::make_shared<CDNameFormatter>());
}

Status appController::createEmulatedWriter() {
  // The same writer "tessaline-cli writer create emulated" makes; one left
  // from an earlier run is used as it is.
  const auto dir = emulated::defaultWritersDir();
  for (const std::string& name : emulated::listWriters(dir))
    if (name == "emulated") return {};
  return emulated::createWriter(dir, "emulated", QStringLiteral("Emulated CD Recorder"));
}

void appController::applicationDidBecomeActive() {
  if (!burnInProgress_) updateSizeOfBurnItems();
}

void appController::terminateApplication() {
  if (outlets_.application != nullptr) outlets_.application->terminate();
}

void appController::showAlert(const char* messageKey, const char* informativeKey, const QStringList& buttons,
                              std::function<void(int)> completion, const QString& detail, bool sheet,
                              AlertStyle style) {
  if (outlets_.alerts == nullptr) {
    if (completion) completion(kAlertFirstButtonReturn);
    return;
  }
  AlertRequest request;
  request.style = style;
  request.messageKey = QString::fromUtf8(messageKey);
  request.informativeKey = QString::fromUtf8(informativeKey);
  request.buttonKeys = buttons;
  request.detail = detail;
  request.sheet = sheet;
  // The answer may come after the controller has gone (an alert answered
  // from the loop at exit): then nobody is told.
  outlets_.alerts->showAlert(request, [guard = QPointer<appController>(this), completion = std::move(completion)](int code) {
    if (guard && completion) completion(code);
  });
}

}  // namespace tessaline
