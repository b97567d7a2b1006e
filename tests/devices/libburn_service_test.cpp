// The real-drive service around the drives where the simulated drive does
// not reach: several drives in sysfs, their names, appearing and
// disappearing, UDisks2's error replies, and the permission message. One test
// runs only with a drive attached, or the simulated one. The write path runs
// against libburn's stdio pseudo-drive on a regular file: our burn_source
// feeding libburn from a producer, reading back, cancelling, failing producers.

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <tuple>

#include "devices/emulated/emulated_writers.h"
#include "devices/libburn/burn_library.h"
#include "devices/libburn/drive_access.h"
#include "devices/libburn/libburn_service.h"
#include "devices/libburn/udisks_mounts.h"
#include "devices/mount_table.h"
#include "support/simulated_drive.h"
#include "support/test_producer.h"
#include "support/test_support.h"

namespace tessaline::libburn {
namespace {

using test::finish;
using test::TempDir;
using test::TestProducer;
namespace fs = std::filesystem;

// A sysfs tree as the kernel lays it out for SCSI CD drives.
class FakeSysfs {
 public:
  explicit FakeSysfs(const fs::path& root) : root_(root) { fs::create_directories(root_ / "class" / "block"); }
  fs::path addDrive(const std::string& name, const std::string& vendor, const std::string& model, int host) {
    const fs::path device = root_ / "devices" / "pci0000:00" / ("ata" + std::to_string(host)) /
                            ("host" + std::to_string(host)) / "target" / "device";
    const fs::path block = device / "block" / name;
    fs::create_directories(block);
    if (!vendor.empty()) test::writeFile(device / "vendor", vendor + "\n");
    if (!model.empty()) test::writeFile(device / "model", model + "\n");
    fs::create_symlink(device, block / "device");
    fs::create_symlink(fs::relative(block, root_ / "class" / "block"), root_ / "class" / "block" / name);
    return block;
  }
  void removeDrive(const std::string& name) { fs::remove(root_ / "class" / "block" / name); }

 private:
  fs::path root_;
};

// UDisks2 that is not there.
class NoUDisks : public MountControl {
 public:
  bool available() override { return false; }
  Status unmount(const std::string&) override { return Status{}; }
  Result<std::string> mount(const std::string&) override { return makeError(ErrorKind::NotFound, "no UDisks2"); }
  void rescan(const std::string&) override {}
};

TEST(LibburnDrives, NoPermissionNamesTheGroupToJoin) {
  TempDir dir;
  const fs::path node = dir / "sr0";
  test::writeFile(node, "");
  // The drive's own group is named, whatever a distribution calls it.
  const group* owner = ::getgrnam("disk");
  if (owner == nullptr) GTEST_SKIP() << "no group disk on this system";
  ASSERT_EQ(::chown(node.c_str(), 0, owner->gr_gid), 0);
  ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
  test::openUpForNobody(dir.path());

  EXPECT_EQ(test::runAsNobody([&] {
              const Status access = checkDeviceAccess(node.string());
              if (access.ok() || access.error().kind != ErrorKind::PermissionDenied) return 1;
              if (access.error().message.find("group \"disk\"") == std::string::npos) return 3;
              if (access.error().message.find(node.string()) == std::string::npos) return 4;
              const auto readings = readDrive(node.string());
              if (readings.ok() || readings.error().kind != ErrorKind::PermissionDenied ||
                  readings.error().message.find("group \"disk\"") == std::string::npos)
                return 5;
              const auto quick = readQuickStatus(node.string());
              return quick.ok() || quick.error().kind != ErrorKind::PermissionDenied ? 6 : 0;
            }),
            0);
  EXPECT_EQ(checkDeviceAccess((dir / "gone").string()).error().kind, ErrorKind::NotFound);
  EXPECT_EQ(readQuickStatus((dir / "gone").string()).error().kind, ErrorKind::NotFound);
}

TEST(LibburnMounts, UDisksObjectsAndReplies) {
  EXPECT_EQ(udisksBlockObjectPath("/dev/sr0"), "/org/freedesktop/UDisks2/block_devices/sr0");
  EXPECT_EQ(udisksBlockObjectPath("/dev/sr-1.x"), "/org/freedesktop/UDisks2/block_devices/sr_2d1_2ex");

  // {D-Bus error name, its message, our kind, a fragment of our message}
  for (const auto& [name, text, kind, fragment] : std::vector<std::tuple<const char*, const char*, ErrorKind, std::string>>{
           {"org.freedesktop.UDisks2.Error.DeviceBusy", "target is busy", ErrorKind::Busy, "/dev/sr0"},
           {"org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain", "", ErrorKind::PermissionDenied, ""},
           {"org.freedesktop.DBus.Error.ServiceUnknown", "", ErrorKind::NotFound, ""},
           {"org.freedesktop.DBus.Error.UnknownMethod", "", ErrorKind::NotFound, ""},
           {"org.freedesktop.DBus.Error.NoReply", "", ErrorKind::TimedOut, ""},
           {"org.freedesktop.UDisks2.Error.Failed", "wrong fs type", ErrorKind::Io, "wrong fs type"}}) {
    const Error e = errorFromUDisksReply(QString::fromUtf8(name), QString::fromUtf8(text), "unmount", "/dev/sr0");
    EXPECT_EQ(e.kind, kind) << name;
    EXPECT_NE(e.message.find(fragment), std::string::npos) << e.message;
  }

  const std::vector<MountEntry> table = {{"/dev/sr0", "/media/a", "iso9660"}, {"/dev/sr1", "/media/b", "udf"},
                                         {"/dev/sr0", "/mnt/second", "iso9660"}};
  EXPECT_EQ(mountsOfDevice(table, "/dev/sr0").size(), 2u);  // which device matches: the mount lookup's table
}

class LibburnServiceTest : public ::testing::Test {
 protected:
  LibburnService::Options options() {
    LibburnService::Options o;
    o.sysRoot = dir_ / "sys";
    o.devRoot = dir_ / "dev";
    o.mountTable = (dir_ / "mounts").string();
    o.mounts = std::make_shared<NoUDisks>();
    o.pollIntervalMs = 10;
    test::writeFile(dir_ / "mounts", "");
    fs::create_directories(dir_ / "dev");
    return o;
  }
  TempDir dir_;
  FakeSysfs sys_{dir_ / "sys"};
};

TEST_F(LibburnServiceTest, DrivesInNumberOrderWithTheirNamesComeAndGo) {
  const fs::path sr0 = sys_.addDrive("sr0", "PLEXTOR", "DVDR PX-891SAF ", 0);
  sys_.addDrive("sr10", "TSSTcorp", "CDDVDW SH-224DB", 1);
  sys_.addDrive("sr2", "", "", 2);
  // Block devices that are no optical drives.
  fs::create_directories(dir_ / "sys/devices/sda");
  fs::create_symlink(dir_ / "sys/devices/sda", dir_ / "sys/class/block/sda");
  fs::create_symlink(dir_ / "sys/devices/sda", dir_ / "sys/class/block/sr1x");
  LibburnService service(options());
  auto writers = service.devices();
  ASSERT_EQ(writers.size(), 3u);
  const auto w = writers[0];
  EXPECT_EQ(w->bsdName() + writers[1]->bsdName() + writers[2]->bsdName(), "sr0sr2sr10");
  EXPECT_EQ(w->displayName(), QStringLiteral("PLEXTOR DVDR PX-891SAF"));
  EXPECT_EQ(writers[1]->displayName(), QStringLiteral("Optical drive sr2"));
  EXPECT_EQ(w->ioRegistryEntryPath(), fs::canonical(sr0).string());
  EXPECT_EQ(w->toolDeviceName(), (dir_ / "dev" / "sr0").string());
  // No device node: no medium to see, and nothing to grab.
  EXPECT_FALSE(w->mediumState().present);
  EXPECT_EQ(w->acquireExclusiveAccess().error().kind, ErrorKind::NotFound);
  EXPECT_EQ(readDrive(w->toolDeviceName()).error().kind, ErrorKind::NotFound);

  QSignalSpy appeared(&service, &DiscRecordingService::deviceAppeared);
  QSignalSpy disappeared(&service, &DiscRecordingService::deviceDisappeared);
  service.startNotifications();
  sys_.addDrive("sr1", "ASUS", "DRW-24D5MT", 3);
  ASSERT_TRUE(test::waitUntil([&] { return appeared.count() == 1; }));
  const auto added = appeared.takeFirst().at(0).value<std::shared_ptr<Writer>>();
  EXPECT_EQ(added->bsdName(), "sr1");
  writers = service.devices();
  ASSERT_EQ(writers.size(), 4u);
  EXPECT_EQ(writers[0].get(), w.get());  // the same writer object while the drive stays
  EXPECT_EQ(writers[1].get(), added.get());

  sys_.removeDrive("sr0");
  ASSERT_TRUE(test::waitUntil([&] { return disappeared.count() == 1; }));
  EXPECT_EQ(disappeared.takeFirst().at(0).value<std::shared_ptr<Writer>>().get(), w.get());
  EXPECT_EQ(service.devices().size(), 3u);
  EXPECT_EQ(appeared.count(), 0);

  // The drives are looked at once an interval, not over and over.
  auto rarely = options();
  rarely.pollIntervalMs = 60'000;
  LibburnService patient(rarely);
  QSignalSpy seen(&patient, &DiscRecordingService::deviceAppeared);
  patient.startNotifications();
  sys_.addDrive("sr5", "ASUS", "DRW-24D5MT", 4);
  QTest::qWait(300);
  EXPECT_EQ(seen.count(), 0);
}

// Reads an attached drive, or else the simulated one: without a drive this
// test runs itself again in a process with the simulator preloaded, where
// TESSALINE_DRIVE_SIM names where its medium goes. Checks what can be
// checked without writing; with the simulator also that the service notices
// another program taking the disc out and putting a blank one in.
TEST(LibburnRealDrive, ReadsTheAttachedDrive) {
  const char* folder = std::getenv("TESSALINE_DRIVE_SIM");
  if (listOpticalDrives().empty() && folder == nullptr) {
    test::PrivateEnvironment env;
    test::SimulatedDrive drive(env / "sim");
    const auto run = test::runProgram("/proc/self/exe", {"--gtest_filter=LibburnRealDrive.*"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    return;
  }
  LibburnService::Options options;
  options.pollIntervalMs = 20;
  std::unique_ptr<test::SimulatedDrive> sim;
  std::optional<test::PrivateEnvironment> env;
  if (listOpticalDrives().empty()) {
    const fs::path root = fs::path(folder).parent_path().parent_path();
    fs::remove_all(root);
    env.emplace();
    sim = std::make_unique<test::SimulatedDrive>(root);
    test::writeFile(env->path() / "docs/a.txt", "alpha");
    sim->insert(MediumKind::CDR, {test::makeSessionImage(env->path() / "docs", env->path() / "1.iso", "0", "ONE")});
    options.sysRoot = sim->sysRoot();
  }
  LibburnService service(options);
  auto writers = service.devices();
  ASSERT_EQ(writers.size(), listOpticalDrives(options.sysRoot).size());
  for (const auto& w : writers) {
    EXPECT_EQ("/dev/" + w->bsdName(), w->toolDeviceName());
    const MediumState s = w->mediumState();
    if (s.present && !s.transitioning && s.appendable) {
      EXPECT_GT(s.spaceFree.value, 0);
    }
  }
  if (!sim) return;
  // The simulated disc (its sessions are read through the CLI in the
  // real-drive end-to-end test) has room left, and the drive tells its
  // write speeds for it without being taken.
  const auto writer = writers.at(0);
  const MediumState s = writer->mediumState();
  EXPECT_TRUE(s.present && s.appendable && !s.blank);
  EXPECT_EQ(s.writeSpeeds, (std::vector<int>{4, 8, 16, 24, 32, 48}));

  // Held twice (the window's hold and a job's) and given back once, the
  // drive stays ours; other programs get it after the last.
  ASSERT_TRUE(writer->acquireExclusiveAccess().ok() && writer->acquireExclusiveAccess().ok());
  writer->releaseExclusiveAccess();
  EXPECT_FALSE(checkNotBusy("/dev/sr0").ok());
  writer->releaseExclusiveAccess();
  EXPECT_TRUE(checkNotBusy("/dev/sr0").ok());

  QSignalSpy changed(&service, &DiscRecordingService::deviceStatusChanged);
  service.startNotifications();
  ASSERT_TRUE(test::waitUntil([&] { return changed.count() == 1; }));  // the first look
  ASSERT_TRUE(emulated::eject(sim->writersDir(), sim->writerName()));
  EXPECT_TRUE(test::waitUntil([&] { return !writer->mediumState().present; }));
  emulated::MediumSpec blank;  // loaded now: the drive takes a second to be ready
  blank.kind = MediumKind::CDRW;
  ASSERT_TRUE(emulated::insertMedium(sim->writersDir(), sim->writerName(), blank));
  EXPECT_TRUE(test::waitUntil([&] {
    const MediumState now = writer->mediumState();
    return now.present && now.blank && now.kind == MediumKind::CDRW;
  }));
  // Out, loading and in: one notification each (a look may miss one), not one
  // for every look at the drive while it loads.
  EXPECT_GE(changed.count(), 3);
  EXPECT_LE(changed.count(), 5);

  // A job of ours, even one that fails at once, brings one fresh look at the
  // disc when it ends, and then the drive is left alone.
  auto producer = std::make_shared<TestProducer>(10);
  producer->prepareError = makeError(ErrorKind::NotFound, "cannot open gone.iso");
  const qsizetype before = changed.count();
  finish(writer->burn(BurnSettings{}, producer->track(), producer));
  ASSERT_TRUE(test::waitUntil([&] { return changed.count() > before; }));
  const qsizetype settled = changed.count();
  const auto commands = [&] {
    std::ifstream log(sim->root() / "commands.log");
    return std::count(std::istreambuf_iterator<char>(log), {}, '\n');
  };
  const auto sent = commands();
  QTest::qWait(10 * options.pollIntervalMs);
  EXPECT_EQ(changed.count(), settled);
  EXPECT_EQ(commands(), sent);  // each look asks the drive only whether anything changed
}

class LibburnWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(service_.libraryError()) << service_.libraryError()->message;
    writer_ = service_.writerForImageFile(dir_ / "disc.bin").value();
  }
  JobStatus burn(const std::shared_ptr<TestProducer>& producer, bool verify = true) {
    BurnSettings s;
    s.verify = verify;
    return finish(writer_->burn(s, producer->track(), producer));
  }

  test::TempDir dir_;
  LibburnService service_;
  std::shared_ptr<LibburnWriter> writer_;
};

TEST_F(LibburnWriteTest, CancelMidwayEndsCancelledAndFreesTheDriveForTheNextBurn) {
  // Stopped while writing, the session is not recorded; while reading back, it is.
  for (const int pass : {0, 1}) {
    SCOPED_TRACE(pass == 0 ? "writing" : "verifying");
    auto producer = std::make_shared<TestProducer>(2000);
    producer->holdAt = 1000 * kBlockBytes;
    producer->holdPass = pass;
    auto job = writer_->burn(BurnSettings{}, producer->track(), producer);
    ASSERT_TRUE(job.ok());
    ASSERT_TRUE(test::waitUntil([&] { return producer->held.load(); }));
    EXPECT_TRUE(writer_->mediumState().busy);
    if (pass == 1) {  // reading back shows how far it has come
      EXPECT_EQ(job.value()->status().phase, JobPhase::Verifying);
      EXPECT_GT(job.value()->status().percent, 0.0);
    }
    // The drive takes no second job meanwhile.
    EXPECT_EQ(burn(std::make_shared<TestProducer>(10)).error->kind, ErrorKind::Busy);

    job.value()->cancel();
    producer->released = true;
    const JobStatus status = finish(std::move(job));
    EXPECT_EQ(status.phase, JobPhase::Cancelled);
    ASSERT_TRUE(status.error);
    EXPECT_EQ(status.error->kind, ErrorKind::Cancelled);
    EXPECT_EQ(status.sessionRecorded, pass == 1);
    EXPECT_EQ(producer->cleanedUp, 1);
    EXPECT_FALSE(writer_->drive()->held());
    EXPECT_FALSE(writer_->mediumState().busy);
  }
  // And the drive burns again afterwards, byte for byte, read back once.
  auto next = std::make_shared<TestProducer>(2000);
  const JobStatus again = burn(next);
  ASSERT_EQ(again.phase, JobPhase::Succeeded) << (again.error ? again.error->message : "");
  EXPECT_DOUBLE_EQ(again.percent, 100.0);
  EXPECT_EQ(test::readFile(dir_ / "disc.bin").substr(0, next->bytes().size()), next->bytes());
  EXPECT_EQ(next->passes, 1);
}

TEST_F(LibburnWriteTest, FailingProducersAreTypedErrorsAndFreeTheDrive) {
  struct Case {
    std::optional<ErrorKind> kind;
    std::string fragment;
    std::function<void(TestProducer&)> fault;
  };
  for (const Case& c : {Case{ErrorKind::Io, "the session image could not be read",
                             [](TestProducer& p) { p.failAt = 30 * kBlockBytes; }},
                        Case{std::nullopt, "ended after 64 of 100 blocks", [](TestProducer& p) { p.dryAfter = 64 * kBlockBytes; }},
                        Case{ErrorKind::NotFound, "cannot open",
                             [](TestProducer& p) { p.prepareError = makeError(ErrorKind::NotFound, "cannot open gone.iso"); }}}) {
    SCOPED_TRACE(c.fragment);
    auto producer = std::make_shared<TestProducer>(100);
    c.fault(*producer);
    const JobStatus status = burn(producer);
    EXPECT_EQ(status.phase, JobPhase::Failed);
    ASSERT_TRUE(status.error);
    EXPECT_EQ(status.error->kind, c.kind.value_or(status.error->kind));
    EXPECT_NE(status.error->message.find(c.fragment), std::string::npos) << status.error->message;
    if (!producer->prepareError) {
      EXPECT_EQ(producer->cleanedUp, 1);
    }
    EXPECT_FALSE(writer_->drive()->held());
  }
  // Without verification the data is written and not read back.
  auto producer = std::make_shared<TestProducer>(100);
  ASSERT_EQ(burn(producer, false).phase, JobPhase::Succeeded);
  EXPECT_EQ(test::readFile(dir_ / "disc.bin").substr(0, producer->bytes().size()), producer->bytes());
  EXPECT_EQ(producer->passes, 0);
  EXPECT_EQ(producer->cleanedUp, 1);
  // An erase, done or refused, leaves the drive free for the next burn.
  finish(writer_->erase());
  EXPECT_EQ(burn(std::make_shared<TestProducer>(10)).phase, JobPhase::Succeeded);
}

TEST(LibburnUnits, SpeedsAndMessages) {
  // Requested kB/s become libburn's units (1x: 176.4, rounded up); none or nonsense: the fastest.
  for (const auto& [kBps, units] : std::vector<std::pair<std::optional<float>, int>>{
           {std::nullopt, 0}, {0.0f, 0}, {-5.0f, 0}, {150.0f, 177}, {8 * 150.0f, 1412}, {48 * 150.0f, 8468}})
    EXPECT_EQ(libburnWriteSpeed(kBps), units) << kBps.value_or(-1);
  // The most severe of libburn's messages leads.
  const std::vector<BurnMessage> messages = {{1, "SORRY", "Drive buffer underrun", 0},
                                             {2, "FATAL", "SCSI error on write: 3 0C 00 write error", 0},
                                             {3, "FAILURE", "Burn run failed", 0}};
  const std::string text = describeMessages(messages);
  EXPECT_EQ(text.rfind("SCSI error on write", 0), 0u) << text;
  EXPECT_NE(text.find("Burn run failed"), std::string::npos);
}

}  // namespace
}  // namespace tessaline::libburn
