#include "support/simulated_drive.h"

#include <sys/prctl.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_mount.h"
#include "devices/emulated/emulated_writers.h"
#include "devices/mount_table.h"

namespace tessaline::test {

SimulatedDrive::SimulatedDrive(const fs::path& root) : root_(root) {
  fs::create_directories(writersDir());
  if (Status s = emulated::createWriter(writersDir(), writerName()); !s) throw std::runtime_error(s.error().message);
  // sysfs as the kernel lays it out for a SCSI CD drive.
  const fs::path device = sysRoot() / "devices/pci0000:00/ata1/host2/target2:0:0/2:0:0:0";
  fs::create_directories(device / "block/sr0");
  fs::create_directories(sysRoot() / "class/block");
  writeFile(device / "vendor", "TESSALIN\n");
  writeFile(device / "model", " Simulated CD-RW\n");  // as the drive's inquiry data has it
  fs::create_symlink("../..", device / "block/sr0/device");
  fs::create_symlink(fs::relative(device / "block/sr0", sysRoot() / "class/block"), sysRoot() / "class/block/sr0");
  fs::create_directories(sysRoot() / "dev/block");
  fs::create_symlink(fs::relative(device / "block/sr0", sysRoot() / "dev/block"), sysRoot() / "dev/block/11:0");
  for (const auto& [name, value] : std::vector<std::pair<const char*, std::string>>{
           {"LD_PRELOAD", TESSALINE_DRIVE_SIM_PATH},
           {"TESSALINE_DRIVE_SIM", (writersDir() / writerName()).string()},
           {"TESSALINE_DRIVE_SIM_LOG", (root_ / "commands.log").string()},
           {"TESSALINE_DRIVE_SIM_MOUNTS", mountTable().string()},
           // Never the machine's own UDisks2: nothing listens here.
           {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root_ / "no-bus").string()},
           {"TESSALINE_SYSFS_ROOT", sysRoot().string()},
           {"TESSALINE_NO_REAL_DRIVES", "0"}})
    env_.push_back(std::make_unique<ScopedEnv>(name, value));
}

SimulatedDrive::~SimulatedDrive() = default;

void SimulatedDrive::insert(MediumKind kind, const std::vector<fs::path>& sessions, bool closed) {
  // The system lets go of the disc that leaves.
  for (const auto& entry : readMountTable(mountTable().string())) emulated::removeReadOnlyTree(entry.mountPoint);
  writeFile(mountTable(), "");
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

std::vector<std::string> SimulatedDrive::tracksBegun() const {
  std::vector<std::string> tracks;
  std::ifstream in(root_ / "commands.log");
  for (std::string line; std::getline(in, line);)
    if (const auto at = line.find(" track\t"); at != std::string::npos) tracks.push_back(line.substr(at + 7));
  return tracks;
}

std::string SimulatedDrive::writerInfoJson() const {
  ScopedEnv dir("TESSALINE_WRITERS_DIR", writersDir().string());
  return runCli({"writer", "info", writerName(), "--json"}).out;
}

namespace {

// The environment of a helper process: without the simulator.
QProcessEnvironment withoutSimulator() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove(QStringLiteral("LD_PRELOAD"));
  return env;
}

// Helpers end with the test program, however it ends.
void endWithParent(QProcess& process) {
  process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

}  // namespace

FakeUDisks::FakeUDisks(const SimulatedDrive& drive, bool busyUnmount) : log_(drive.root() / "udisks.log") {
  const fs::path socket = drive.root() / "system-bus";
  const fs::path config = drive.root() / "system-bus.conf";
  writeFile(config, "<busconfig>\n  <type>system</type>\n  <listen>unix:path=" + socket.string() +
                        "</listen>\n  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
                        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n"
                        "    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n");
  bus_.setProcessEnvironment(withoutSimulator());
  endWithParent(bus_);
  bus_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                                             QStringLiteral("--print-address"),
                                             QStringLiteral("--config-file=") + QString::fromStdString(config.string())});
  if (!bus_.waitForReadyRead(10000)) throw std::runtime_error("dbus-daemon did not start");
  const std::string address = bus_.readLine().trimmed().toStdString();
  address_ = std::make_unique<ScopedEnv>("DBUS_SYSTEM_BUS_ADDRESS", address);

  QStringList args{QStringLiteral("--mount-table"), QString::fromStdString(drive.mountTable().string()),
                   QStringLiteral("--mounts-dir"), QString::fromStdString(drive.mountsDir().string()),
                   QStringLiteral("--log"), QString::fromStdString(log_.string()),
                   QString::fromStdString("/dev/sr0=" + (drive.writersDir() / drive.writerName()).string())};
  if (busyUnmount) args << QStringLiteral("--busy");
  QProcessEnvironment env = withoutSimulator();
  env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QString::fromStdString(address));
  service_.setProcessEnvironment(env);
  endWithParent(service_);
  service_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  service_.start(QStringLiteral(TESSALINE_FAKE_UDISKS_PATH), args);
  if (!service_.waitForReadyRead(10000)) throw std::runtime_error("the UDisks2 stand-in did not start");
}

FakeUDisks::~FakeUDisks() {
  for (QProcess* p : {&service_, &bus_}) {
    p->terminate();
    if (!p->waitForFinished(5000)) {
      p->kill();
      p->waitForFinished();
    }
  }
}

std::vector<std::string> FakeUDisks::calls() const {
  std::vector<std::string> lines;
  std::ifstream in(log_);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("ResolveDevice", 0) != 0) lines.push_back(line);
  return lines;
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
