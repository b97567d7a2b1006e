#pragma once
// The simulated CD writer (tests/support/drive_sim) for one test: its medium
// folder, a sysfs tree that names it sr0, and the environment that loads it
// into the programs the test runs (LD_PRELOAD and the simulator's variables).

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
  // (each built for where it lands), closed or not; settled at once.
  void insert(MediumKind kind, const std::vector<fs::path>& sessions = {}, bool closed = false);
  // Faults of the simulator (see mmc_drive.h), for the programs run from now on.
  void setFaults(const std::string& faults);

  fs::path writersDir() const { return root_ / "drives"; }
  std::string writerName() const { return "sim"; }
  fs::path mediumFile() const { return writersDir() / "sim" / "medium.img"; }
  fs::path sysRoot() const { return root_ / "sys"; }
  // The commands the drive was sent so far, by name ("WRITE(10)", ...).
  std::set<std::string> commandsSent() const;
  // The table of contents as `tessaline-cli writer info --json` reads it.
  std::string writerInfoJson() const;

 private:
  fs::path root_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
  std::unique_ptr<ScopedEnv> faults_;
};

// An ISO 9660 image of `folder` built for a session at `sessionString`
// ("0" for the first; else mkisofs -C).
fs::path makeSessionImage(const fs::path& folder, const fs::path& image, const std::string& sessionString,
                          const std::string& volume);

}  // namespace tessaline::test
