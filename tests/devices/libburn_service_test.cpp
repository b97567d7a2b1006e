// The real-drive service around the drives: finding them in sysfs, their
// names, appearing and disappearing, exclusive access (unmounting first),
// UDisks2 replies, and the permission message. One test runs only with a
// drive attached.

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <tuple>

#include "devices/libburn/drive_access.h"
#include "devices/libburn/libburn_service.h"
#include "devices/libburn/udisks_mounts.h"
#include "devices/mount_table.h"
#include "support/simulated_drive.h"
#include "support/test_support.h"

namespace tessaline::libburn {
namespace {

using test::TempDir;
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
  const fs::path& root() const { return root_; }

 private:
  fs::path root_;
};

// Records what was asked of it instead of calling UDisks2.
class FakeMounts : public MountControl {
 public:
  bool available() override { return present; }
  Status unmount(const std::string& devicePath) override {
    unmounted.push_back(devicePath);
    return unmountError ? Status(*unmountError) : Status{};
  }
  Result<std::string> mount(const std::string& devicePath) override {
    mounted.push_back(devicePath);
    return std::string("/media/disc");
  }
  void rescan(const std::string&) override {}

  bool present = true;
  std::optional<Error> unmountError;
  std::vector<std::string> unmounted, mounted;
};

void writeFileTree(const fs::path& dir) { test::writeFile(dir / "a.txt", "alpha"); }

void expectError(const Status& s, ErrorKind kind, const std::string& fragment = {}) {
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, kind) << s.error().message;
  EXPECT_NE(s.error().message.find(fragment), std::string::npos) << s.error().message;
}

TEST(LibburnDrives, FoundInSysfsInNumberOrderWithTheirNamesAndFromTheirNodes) {
  TempDir dir;
  FakeSysfs sys(dir / "sys");
  const fs::path sr0 = sys.addDrive("sr0", "HL-DT-ST", "DVDRAM GH24NSD1 ", 0);
  sys.addDrive("sr10", "TSSTcorp", "CDDVDW SH-224DB", 1);
  sys.addDrive("sr2", "", "", 2);
  fs::create_directories(dir / "sys" / "devices" / "sda");
  fs::create_symlink(dir / "sys" / "devices" / "sda", dir / "sys" / "class" / "block" / "sda");
  fs::create_symlink(dir / "sys" / "devices" / "sda", dir / "sys" / "class" / "block" / "sr1x");

  const auto drives = listOpticalDrives(dir / "sys", dir / "dev");
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].bsdName + drives[1].bsdName + drives[2].bsdName, "sr0sr2sr10");
  EXPECT_EQ(drives[0].sysfsPath, fs::canonical(sr0).string());
  EXPECT_EQ(drives[0].devicePath, (dir / "dev" / "sr0").string());
  EXPECT_EQ(drives[0].displayName(), "HL-DT-ST DVDRAM GH24NSD1");
  EXPECT_EQ(drives[1].displayName(), "Optical drive sr2");
  EXPECT_TRUE(listOpticalDrives(dir / "nothing", dir / "dev").empty());

  // A device node leads to its sysfs path.
  fs::create_directories(dir / "sys" / "dev" / "block");
  fs::create_symlink(sr0, dir / "sys" / "dev" / "block" / "11:0");
  fs::create_directories(dir / "dev");
  if (::mknod((dir / "dev" / "sr0").c_str(), S_IFBLK | 0660, makedev(11, 0)) != 0)
    GTEST_SKIP() << "cannot make a device node here";
  EXPECT_EQ(sysfsPathForDeviceNode(dir / "dev" / "sr0", dir / "sys"), fs::canonical(sr0).string());
  test::writeFile(dir / "dev" / "plain", "x");
  EXPECT_EQ(sysfsPathForDeviceNode(dir / "dev" / "plain", dir / "sys"), "");
  EXPECT_EQ(sysfsPathForDeviceNode(dir / "dev" / "missing", dir / "sys"), "");
}

TEST(LibburnDrives, NoPermissionNamesTheGroupToJoin) {
  TempDir dir;
  const fs::path node = dir / "sr0";
  test::writeFile(node, "");
  const group* cdrom = ::getgrnam("cdrom");
  if (cdrom == nullptr) GTEST_SKIP() << "no group cdrom on this system";
  ASSERT_EQ(::chown(node.c_str(), 0, cdrom->gr_gid), 0);
  ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
  test::openUpForNobody(dir.path());

  EXPECT_EQ(test::runAsNobody([&] {
              const Status access = checkDeviceAccess(node.string());
              if (access.ok() || access.error().kind != ErrorKind::PermissionDenied) return 1;
              if (access.error().message.find("group \"cdrom\"") == std::string::npos) return 3;
              if (access.error().message.find(node.string()) == std::string::npos) return 4;
              const auto readings = readDrive(node.string());
              return readings.ok() || readings.error().kind != ErrorKind::PermissionDenied ? 5 : 0;
            }),
            0);
  EXPECT_EQ(checkDeviceAccess((dir / "gone").string()).error().kind, ErrorKind::NotFound);
}

TEST(LibburnMounts, UDisksObjectsRepliesAndMountTable) {
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

  const auto table = parseMountTable(
      "/dev/vda / ext4 rw 0 0\n"
      "/dev/sr0 /media/user/My\\040Disc iso9660 ro,nosuid 0 0\n"
      "garbage\n"
      "/dev/sr1 /media/user/Other udf ro 0 0\n"
      "/dev/sr0 /mnt/second iso9660 ro 0 0\n");
  ASSERT_EQ(table.size(), 4u);
  const auto sr0 = mountsOfDevice(table, "/dev/sr0");
  ASSERT_EQ(sr0.size(), 2u);
  EXPECT_EQ(sr0[0].mountPoint, "/media/user/My Disc");
  EXPECT_EQ(sr0[0].type, "iso9660");
  EXPECT_TRUE(mountsOfDevice(table, "/dev/sr").empty());
}

TEST(LibburnMounts, UnmountingGoesThroughUDisksOnlyWhenSomethingIsMounted) {
  FakeMounts mounts;
  const std::vector<MountEntry> none = {{"/dev/sr1", "/media/x", "iso9660"}};
  const std::vector<MountEntry> mounted = {{"/dev/sr0", "/media/user/Disc", "iso9660"}};

  mounts.present = false;
  EXPECT_TRUE(unmountDevice("/dev/sr0", none, mounts).ok());
  expectError(unmountDevice("/dev/sr0", mounted, mounts), ErrorKind::Busy, "UDisks2");
  expectError(unmountDevice("/dev/sr0", mounted, mounts), ErrorKind::Busy, "/media/user/Disc");
  EXPECT_TRUE(mounts.unmounted.empty());

  mounts.present = true;
  EXPECT_TRUE(unmountDevice("/dev/sr0", mounted, mounts).ok());
  EXPECT_EQ(mounts.unmounted, std::vector<std::string>{"/dev/sr0"});
  mounts.unmountError = makeError(ErrorKind::Busy, "files are open");
  EXPECT_EQ(unmountDevice("/dev/sr0", mounted, mounts).error().message, "files are open");
}

class LibburnServiceTest : public ::testing::Test {
 protected:
  LibburnService::Options options() {
    LibburnService::Options o;
    o.sysRoot = dir_ / "sys";
    o.devRoot = dir_ / "dev";
    o.mountTable = (dir_ / "mounts").string();
    o.mounts = mounts_;
    o.pollIntervalMs = 10;
    test::writeFile(dir_ / "mounts", "");
    fs::create_directories(dir_ / "dev");
    return o;
  }
  TempDir dir_;
  FakeSysfs sys_{dir_ / "sys"};
  std::shared_ptr<FakeMounts> mounts_ = std::make_shared<FakeMounts>();
};

TEST_F(LibburnServiceTest, WritersCarryTheDrivesNamesAndComeAndGo) {
  const fs::path sr0 = sys_.addDrive("sr0", "PLEXTOR", "DVDR PX-891SAF", 0);
  LibburnService service(options());
  auto writers = service.devices();
  ASSERT_EQ(writers.size(), 1u);
  const auto w = writers[0];
  EXPECT_EQ(w->displayName(), QStringLiteral("PLEXTOR DVDR PX-891SAF"));
  EXPECT_EQ(w->ioRegistryEntryPath(), fs::canonical(sr0).string());
  EXPECT_EQ(w->bsdName(), "sr0");
  EXPECT_EQ(w->toolDeviceName(), (dir_ / "dev" / "sr0").string());
  EXPECT_FALSE(w->isEmulated());
  // No device node: no medium to see, and nothing to grab.
  EXPECT_FALSE(w->mediumState().present);
  const auto real = std::dynamic_pointer_cast<LibburnWriter>(w);
  ASSERT_TRUE(real && real->readError());
  EXPECT_EQ(real->readError()->kind, ErrorKind::NotFound);
  expectError(w->acquireExclusiveAccess(), ErrorKind::NotFound);

  QSignalSpy status(&service, &DiscRecordingService::deviceStatusChanged);
  QSignalSpy appeared(&service, &DiscRecordingService::deviceAppeared);
  QSignalSpy disappeared(&service, &DiscRecordingService::deviceDisappeared);
  service.startNotifications();
  ASSERT_TRUE(test::waitUntil([&] { return status.count() >= 1; }));
  EXPECT_EQ(status.takeFirst().at(0).value<std::shared_ptr<Writer>>().get(), w.get());

  sys_.addDrive("sr1", "ASUS", "DRW-24D5MT", 1);
  ASSERT_TRUE(test::waitUntil([&] { return appeared.count() == 1; }));
  const auto added = appeared.takeFirst().at(0).value<std::shared_ptr<Writer>>();
  EXPECT_EQ(added->bsdName(), "sr1");
  writers = service.devices();
  ASSERT_EQ(writers.size(), 2u);
  EXPECT_EQ(writers[0].get(), w.get());  // the same writer object while the drive stays
  EXPECT_EQ(writers[1].get(), added.get());

  sys_.removeDrive("sr0");
  ASSERT_TRUE(test::waitUntil([&] { return disappeared.count() == 1; }));
  EXPECT_EQ(disappeared.takeFirst().at(0).value<std::shared_ptr<Writer>>().get(), w.get());
  ASSERT_EQ(service.devices().size(), 1u);
  EXPECT_EQ(appeared.count(), 0);
}

TEST_F(LibburnServiceTest, ExclusiveAccessUnmountsFirstAndRefusesWithoutUDisks) {
  sys_.addDrive("sr0", "V", "M", 0);
  auto o = options();
  const std::string node = (dir_ / "dev" / "sr0").string();
  test::writeFile(node, "");  // stands in for the device node
  test::writeFile(dir_ / "mounts", node + " /media/user/Old\\040Disc iso9660 ro 0 0\n");
  mounts_->present = false;
  LibburnService service(o);
  auto w = service.devices().at(0);

  expectError(w->acquireExclusiveAccess(), ErrorKind::Busy, "/media/user/Old Disc");

  // With UDisks2 the disc is unmounted before the grab is tried.
  mounts_->present = true;
  mounts_->unmountError = makeError(ErrorKind::Busy, "files on the disc are open");
  expectError(w->acquireExclusiveAccess(), ErrorKind::Busy, "files on the disc are open");
  EXPECT_EQ(mounts_->unmounted, std::vector<std::string>{node});

  // Reservation is this process's own mark.
  EXPECT_FALSE(w->mediumState().reserved);
  ASSERT_TRUE(w->acquireMediaReservation().ok());
  EXPECT_TRUE(w->mediumState().reserved);
  w->releaseMediaReservation();
  EXPECT_FALSE(w->mediumState().reserved);
  w->releaseExclusiveAccess();  // nothing held: no effect
}

// Needs an optical drive, or the simulated one: the ctest entry
// LibburnRealDriveOnSimulator runs this test with the simulator preloaded and
// TESSALINE_DRIVE_SIM naming where its medium goes. Checks what can be
// checked without writing.
TEST(LibburnRealDrive, ReadsTheAttachedDrive) {
  LibburnService::Options options;
  std::unique_ptr<test::SimulatedDrive> sim;
  std::optional<test::PrivateEnvironment> env;
  if (listOpticalDrives().empty()) {
    const char* folder = std::getenv("TESSALINE_DRIVE_SIM");
    if (folder == nullptr) GTEST_SKIP() << "no optical drive attached (/sys/class/block/sr*) and no simulated one";
    const fs::path root = fs::path(folder).parent_path().parent_path();
    fs::remove_all(root);
    env.emplace();
    sim = std::make_unique<test::SimulatedDrive>(root);
    writeFileTree(env->path() / "docs");
    sim->insert(MediumKind::CDR, {test::makeSessionImage(env->path() / "docs", env->path() / "1.iso", "0", "ONE")});
    options.sysRoot = sim->sysRoot();
  }
  const auto drives = listOpticalDrives(options.sysRoot);
  LibburnService service(options);
  auto writers = service.devices();
  ASSERT_EQ(writers.size(), drives.size());
  for (const auto& w : writers) {
    EXPECT_EQ("/dev/" + w->bsdName(), w->toolDeviceName());
    EXPECT_FALSE(w->ioRegistryEntryPath().empty());
    EXPECT_EQ(sysfsPathForDeviceNode(w->toolDeviceName(), options.sysRoot), w->ioRegistryEntryPath());
    const MediumState s = w->mediumState();
    if (s.present && !s.transitioning && s.appendable) {
      EXPECT_GT(s.spaceFree.value, 0);
    }
    if (s.blank) {
      EXPECT_EQ(s.tracks.size(), 1u);
    }
  }
  if (!sim) return;
  // The simulated disc: one session from block 0, the next at 11,702.
  const MediumState s = writers.at(0)->mediumState();
  EXPECT_TRUE(s.present && s.appendable && !s.blank);
  EXPECT_EQ(s.kind, MediumKind::CDR);
  ASSERT_EQ(s.tracks.size(), 2u);
  EXPECT_EQ(s.tracks[1].start.value, 11702);
  EXPECT_EQ(s.lastSessionStart, BlockAddress{0});
  EXPECT_EQ(s.spaceFree.value, 359847 - 11702);
  // The drive tells its write speeds once it has been taken, and they stay
  // known while the disc does.
  EXPECT_TRUE(s.writeSpeeds.empty());
  ASSERT_TRUE(writers.at(0)->acquireExclusiveAccess().ok());
  writers.at(0)->releaseExclusiveAccess();
  EXPECT_EQ(writers.at(0)->mediumState().writeSpeeds, (std::vector<int>{4, 8, 16, 24, 32, 48}));
}

}  // namespace
}  // namespace tessaline::libburn
