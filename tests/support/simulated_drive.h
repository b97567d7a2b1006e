#pragma once
// The simulated CD writer (tests/support/drive_sim) for one test: its medium
// folder, a sysfs tree that names it sr0, and the environment that loads it
// into the programs the test runs (LD_PRELOAD and the simulator's variables).
// UDisks2 is not reachable unless a FakeUDisks lives.

#include <QProcess>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devices/disc_recording_service.h"
#include "support/test_support.h"

namespace tessaline::test {

class SimulatedDrive {
 public:
  // Everything lives under `root`; the drive is /dev/sr0 and /dev/sg0.
  explicit SimulatedDrive(const fs::path& root);
  ~SimulatedDrive();

  // Puts a disc in the drive: blank, or holding the images as sessions
  // (each built for where it lands), closed or not; settled at once and not
  // mounted.
  void insert(MediumKind kind, const std::vector<fs::path>& sessions = {}, bool closed = false);
  // Faults of the simulator (see mmc_drive.h), for the programs run from now on.
  void setFaults(const std::string& faults);

  fs::path writersDir() const { return root_ / "drives"; }
  std::string writerName() const { return "sim"; }
  fs::path mediumFile() const { return writersDir() / "sim" / "medium.img"; }
  fs::path sysRoot() const { return root_ / "sys"; }
  fs::path root() const { return root_; }
  // What the simulator adds to /proc/self/mounts (the stand-in for UDisks2 keeps it).
  fs::path mountTable() const { return root_ / "mtab"; }
  fs::path mountsDir() const { return root_ / "media"; }
  // The commands the drive was sent so far, by name ("WRITE(10)", ...).
  std::set<std::string> commandsSent() const;
  // How each track was begun: "at 0, multi-session, underrun protection, 1412 kB/s".
  std::vector<std::string> tracksBegun() const;
  // The table of contents as `tessaline-cli writer info --json` reads it.
  std::string writerInfoJson() const;

 private:
  fs::path root_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::unique_ptr<ScopedEnv> faults_;
};

// UDisks2 for the programs a test runs while it lives: a private bus
// (DBUS_SYSTEM_BUS_ADDRESS) and the stand-in service on it
// (tests/support/fake_udisks), which mounts the simulated drive's disc.
class FakeUDisks {
 public:
  // busyUnmount: every Unmount fails as when files on the disc are open.
  explicit FakeUDisks(const SimulatedDrive& drive, bool busyUnmount = false);
  ~FakeUDisks();
  FakeUDisks(const FakeUDisks&) = delete;
  FakeUDisks& operator=(const FakeUDisks&) = delete;
  // The calls it was sent so far: "Mount /dev/sr0", "Unmount /dev/sr0", ...
  std::vector<std::string> calls() const;

 private:
  fs::path log_;
  QProcess bus_;
  QProcess service_;
  std::unique_ptr<ScopedEnv> address_;
};

// An ISO 9660 image of `folder` built for a session at `sessionString`
// ("0" for the first; else mkisofs -C).
fs::path makeSessionImage(const fs::path& folder, const fs::path& image, const std::string& sessionString,
                          const std::string& volume);

}  // namespace tessaline::test
