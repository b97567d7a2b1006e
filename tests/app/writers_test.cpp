// The writer list's order and naming, and where the reservation goes, on
// stand-in writers: real drives with clashing registry paths cannot be had.

#include <gtest/gtest.h>

#include "app/app_controller.h"
#include "app/value_transformers.h"
#include "support/recording_window.h"
#include "support/test_support.h"

namespace tessaline::test {
namespace {

class StandInWriter : public Writer {
 public:
  StandInWriter(std::string path, QString name, std::vector<std::string>* log)
      : path_(std::move(path)), name_(std::move(name)), log_(log) {}
  QString displayName() const override { return name_; }
  std::string ioRegistryEntryPath() const override { return path_; }
  std::string bsdName() const override { return "sr9"; }
  std::string toolDeviceName() const override { return "/dev/" + lastPathComponent(path_); }
  bool isEmulated() const override { return false; }
  MediumState mediumState() const override { return {}; }
  Status acquireExclusiveAccess() override { return {}; }
  void releaseExclusiveAccess() override {}
  Status acquireMediaReservation() override { log_->push_back("reserve " + name_.toStdString()); return {}; }
  void releaseMediaReservation() override { log_->push_back("release " + name_.toStdString()); }
  Result<std::unique_ptr<Job>> burn(const BurnSettings&, const TrackProperties&, std::shared_ptr<TrackProducer>) override {
    return makeError(ErrorKind::Internal, "not here");
  }
  Result<std::unique_ptr<Job>> erase() override { return makeError(ErrorKind::Internal, "not here"); }
  std::string path_;
  QString name_;
  std::vector<std::string>* log_;
};

class StandInService : public DiscRecordingService {
 public:
  std::vector<std::shared_ptr<Writer>> writers;
  std::vector<std::shared_ptr<Writer>> devices() override { return writers; }
  std::vector<MountEntry> serviceMounts() const override { return {}; }
  void startNotifications() override {}
};

TEST(Registry, ListIsSortedByNameThenPathAndTheReservationFollowsTheSelectedWriter) {
  std::vector<std::string> log;
  StandInService service;
  const auto add = [&](const std::string& path, const char* name) {
    service.writers.push_back(std::make_shared<StandInWriter>(path, QString::fromLatin1(name), &log));
  };
  add("/sys/b/sr1", "Drive B");
  add("/sys/z/sr0", "Drive Z");
  add("/sys/a/sr0", "Drive A");
  TempDir temp;
  RecordingWindow window;
  ValueTransformerRegistry transformers;
  appController::initialize(transformers);
  Preferences prefs(QString::fromStdString((temp / "p.conf").string()));
  prefs.setValue(prefs::disableUpdateCheck, true);
  appController controller(service, transformers, prefs);
  controller.connectOutlets(window.parts());
  controller.applicationDidFinishLaunching();
  const auto& list = controller.registeredDevices();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].DRDeviceIORegistryPath, "/sys/a/sr0");
  EXPECT_EQ(list[0].DRDeviceIndex, 2);
  EXPECT_EQ(list[0].DRDeviceName, "sr0");
  EXPECT_EQ(list[1].DRDeviceIORegistryPath, "/sys/z/sr0");
  EXPECT_EQ(list[2].DRDeviceName, "sr1");
  EXPECT_EQ(list[2].toolDeviceName, "/dev/sr1");  // each writer names its own device for the image tool
  EXPECT_EQ(window.writerMenu.items,
            (QStringList{QStringLiteral("Drive A"), QStringLiteral("Drive Z"), QStringLiteral("Drive B")}));
  // Menu item 2 selects the service's writer at that record's index.
  window.writerMenu.selected = 2;
  controller.changeDevice();
  EXPECT_EQ(controller.theDevice()->displayName(), QStringLiteral("Drive B"));
  // With every writer gone nothing is selected; one that comes back is.
  const auto gone = service.writers;
  service.writers.clear();
  Q_EMIT service.deviceDisappeared(gone.back());
  EXPECT_FALSE(controller.theDevice());
  Q_EMIT service.deviceStatusChanged(gone.back());  // sent before it went, delivered after: ignored
  EXPECT_TRUE(window.writerMenu.items.isEmpty());
  controller.attemptBurn();
  EXPECT_EQ(window.alertKeys(), std::vector<QString>{QStringLiteral("cannotBurn/noCdInDrive")});
  add("/sys/b/sr1", "New");
  Q_EMIT service.deviceAppeared(service.writers.back());
  EXPECT_EQ(controller.theDevice()->displayName(), QStringLiteral("New"));
  EXPECT_EQ(log, (std::vector<std::string>{"reserve Drive A", "release Drive A", "reserve Drive B", "reserve New"}));
}

}  // namespace
}  // namespace tessaline::test
