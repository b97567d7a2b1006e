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

class RegistryTest : public ::testing::Test {
 protected:
  void add(const std::string& path, const char* name) {
    service_.writers.push_back(std::make_shared<StandInWriter>(path, QString::fromLatin1(name), &log_));
  }

  TempDir temp_;
  StandInService service_;
  ValueTransformerRegistry transformers_;
  RecordingWindow window_;
  std::vector<std::string> log_;
  std::unique_ptr<appController> controller_;
};

TEST_F(RegistryTest, ListIsSortedByNameThenPathAndTheReservationFollowsTheSelectedWriter) {
  add("/sys/b/sr1", "Drive B");
  add("/sys/z/sr0", "Drive Z");
  add("/sys/a/sr0", "Drive A");
  appController::initialize(transformers_);
  Preferences prefs(QString::fromStdString((temp_ / "p.conf").string()));
  controller_ = std::make_unique<appController>(service_, transformers_, prefs);
  prefs.setValue(prefs::disableUpdateCheck, true);
  controller_->connectOutlets(window_.parts());
  controller_->applicationDidFinishLaunching();
  const auto& list = controller_->registeredDevices();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].DRDeviceIORegistryPath, "/sys/a/sr0");
  EXPECT_EQ(list[0].DRDeviceIndex, 2);
  EXPECT_EQ(list[0].DRDeviceName, "sr0");
  EXPECT_EQ(list[1].DRDeviceIORegistryPath, "/sys/z/sr0");
  EXPECT_EQ(list[2].DRDeviceName, "sr1");
  EXPECT_EQ(list[2].toolDeviceName, "/dev/sr1");  // each writer names its own device for the image tool
  EXPECT_EQ(window_.writerMenu.items,
            (QStringList{QStringLiteral("Drive A"), QStringLiteral("Drive Z"), QStringLiteral("Drive B")}));
  // Menu item 2 selects the service's writer at that record's index.
  window_.writerMenu.selected = 2;
  controller_->changeDevice();
  EXPECT_EQ(controller_->theDevice()->displayName(), QStringLiteral("Drive B"));
  // With every writer gone nothing is selected; one that comes back is.
  const auto gone = service_.writers;
  service_.writers.clear();
  Q_EMIT service_.deviceDisappeared(gone.back());
  EXPECT_FALSE(controller_->theDevice());
  EXPECT_TRUE(window_.writerMenu.items.isEmpty());
  controller_->attemptBurn();
  EXPECT_EQ(window_.alertKeys(), std::vector<QString>{QStringLiteral("cannotBurn/noCdInDrive")});
  add("/sys/b/sr1", "New");
  Q_EMIT service_.deviceAppeared(service_.writers.back());
  EXPECT_EQ(controller_->theDevice()->displayName(), QStringLiteral("New"));
  EXPECT_EQ(log_, (std::vector<std::string>{"reserve Drive A", "release Drive A", "reserve Drive B", "reserve New"}));
}

}  // namespace
}  // namespace tessaline::test
