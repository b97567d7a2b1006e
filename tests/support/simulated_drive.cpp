#include "support/simulated_drive.h"

#include <fstream>
#include <sstream>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_writers.h"

namespace tessaline::test {

SimulatedDrive::SimulatedDrive(const fs::path& root) : root_(root) {
  fs::create_directories(writersDir());
  if (Status s = emulated::createWriter(writersDir(), writerName()); !s) throw std::runtime_error(s.error().message);
  // sysfs as the kernel lays it out for a SCSI CD drive.
  const fs::path device = sysRoot() / "devices/pci0000:00/ata1/host2/target2:0:0/2:0:0:0";
  fs::create_directories(device / "block/sr0");
  fs::create_directories(sysRoot() / "class/block");
  writeFile(device / "vendor", "TESSALIN\n");
  writeFile(device / "model", "Simulated CD-RW\n");
  fs::create_symlink("../..", device / "block/sr0/device");
  fs::create_symlink(fs::relative(device / "block/sr0", sysRoot() / "class/block"), sysRoot() / "class/block/sr0");
  fs::create_directories(sysRoot() / "dev/block");
  fs::create_symlink(fs::relative(device / "block/sr0", sysRoot() / "dev/block"), sysRoot() / "dev/block/11:0");
  for (const auto& [name, value] : std::vector<std::pair<const char*, std::string>>{
           {"LD_PRELOAD", TESSALINE_DRIVE_SIM_PATH},
           {"TESSALINE_DRIVE_SIM", (writersDir() / writerName()).string()},
           {"TESSALINE_DRIVE_SIM_LOG", (root_ / "commands.log").string()},
           {"TESSALINE_SYSFS_ROOT", sysRoot().string()},
           {"TESSALINE_NO_REAL_DRIVES", "0"}})
    env_.push_back(std::make_unique<ScopedEnv>(name, value));
}

SimulatedDrive::~SimulatedDrive() = default;

void SimulatedDrive::insert(MediumKind kind, const std::vector<fs::path>& sessions, bool closed) {
  (void)emulated::eject(writersDir(), writerName());
  emulated::MediumSpec spec;
  spec.kind = kind;
  spec.sessionImages = sessions;
  spec.closed = closed;
  if (Status s = emulated::insertMedium(writersDir(), writerName(), spec); !s) throw std::runtime_error(s.error().message);
  // Loaded long ago: the drive is ready at once.
  const emulated::WriterPaths paths{writersDir(), writerName()};
  auto toc = emulated::readToc(paths);
  toc.value().changedAtMs = 0;
  (void)emulated::writeToc(paths, toc.value());
}

void SimulatedDrive::setFaults(const std::string& faults) {
  faults_.reset();
  faults_ = std::make_unique<ScopedEnv>("TESSALINE_DRIVE_SIM_FAULTS", faults);
}

std::set<std::string> SimulatedDrive::commandsSent() const {
  std::set<std::string> names;
  std::ifstream in(root_ / "commands.log");
  for (std::string line; std::getline(in, line);) {
    // "<pid> /dev/sr0 cmd<TAB>NAME<TAB>details RESULT"
    const auto tab = line.find('\t');
    if (tab == std::string::npos || line.compare(tab - 3, 3, "cmd") != 0) continue;
    names.insert(line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1));
  }
  return names;
}

std::string SimulatedDrive::writerInfoJson() const {
  ScopedEnv dir("TESSALINE_WRITERS_DIR", writersDir().string());
  return runCli({"writer", "info", writerName(), "--json"}).out;
}

fs::path makeSessionImage(const fs::path& folder, const fs::path& image, const std::string& sessionString,
                          const std::string& volume) {
  std::vector<std::string> args{"-as", "mkisofs", "-quiet", "-r", "-V", volume, "-o", image.string()};
  if (sessionString != "0") args.insert(args.end(), {"-C", sessionString});
  args.push_back(folder.string());
  const auto r = runProgram("xorriso", args);
  if (r.exitCode != 0) throw std::runtime_error("xorriso: " + r.err);
  return image;
}

}  // namespace tessaline::test
