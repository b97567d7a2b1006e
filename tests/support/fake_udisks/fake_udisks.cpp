// A stand-in for UDisks2 on a private bus, for the tests of the real-drive
// path. It answers the calls Tessaline makes (Manager.ResolveDevice,
// Filesystem.Mount and Unmount, Block.Rescan) for the simulated drives, and
// mounts a disc the way the system would show it: the last session's tree,
// read from the drive's medium file, materialised read-only in a folder
// named after the volume, and a line in a mount table that the simulated
// drive adds to what its processes read as /proc/self/mounts.
//
// usage: tessaline-fake-udisks --mount-table FILE --mounts-dir DIR [--log FILE]
//                              [--busy] DEVICE=WRITER_FOLDER...
//   --busy   every Unmount fails as when files on the disc are open
//   --log    one line per call: "<Method> <device>"
// It prints "ready" once it owns its name on the bus (DBUS_SYSTEM_BUS_ADDRESS).

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusMetaType>
#include <QDBusVirtualObject>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_mount.h"
#include "devices/libburn/udisks_mounts.h"
#include "devices/mount_table.h"

namespace {

using namespace tessaline;
namespace fs = std::filesystem;

const QString kErrorPrefix = QStringLiteral("org.freedesktop.UDisks2.Error.");

struct Options {
  fs::path mountTable;
  fs::path mountsDir;
  fs::path log;
  bool busy = false;
  std::map<std::string, fs::path> drives;  // UDisks2 object path -> writer folder
  std::map<std::string, std::string> devices;  // object path -> device path
};

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class FakeUDisks : public QDBusVirtualObject {
 public:
  explicit FakeUDisks(Options options) : options_(std::move(options)) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
    bus.send(answer(call));
    return true;
  }

 private:
  QDBusMessage answer(const QDBusMessage& call) {
    const std::string object = call.path().toStdString();
    const QString method = call.interface() + QLatin1Char('.') + call.member();
    if (method == QLatin1String("org.freedesktop.UDisks2.Manager.ResolveDevice")) {
      const auto spec = qdbus_cast<QVariantMap>(call.arguments().value(0));
      const QString wanted = spec.value(QStringLiteral("path")).toString();
      note("ResolveDevice " + wanted.toStdString());
      QList<QDBusObjectPath> found;
      for (const auto& [path, device] : options_.devices)
        if (device == wanted.toStdString()) found << QDBusObjectPath(QString::fromStdString(path));
      return call.createReply(QVariant::fromValue(found));
    }
    const auto drive = options_.drives.find(object);
    if (drive == options_.drives.end())
      return call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                   QStringLiteral("Object does not exist at path ") + call.path());
    const std::string device = options_.devices.at(object);
    note(call.member().toStdString() + " " + device);
    if (method == QLatin1String("org.freedesktop.UDisks2.Block.Rescan")) return call.createReply();
    if (method == QLatin1String("org.freedesktop.UDisks2.Filesystem.Mount")) return mount(call, drive->second, device);
    if (method == QLatin1String("org.freedesktop.UDisks2.Filesystem.Unmount")) return unmount(call, device);
    return call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                 QStringLiteral("No such interface or method ") + method);
  }

  QDBusMessage mount(const QDBusMessage& call, const fs::path& folder, const std::string& device) {
    const emulated::WriterPaths paths{folder.parent_path(), folder.filename().string()};
    const auto toc = emulated::readToc(paths);
    std::optional<std::string> volume;
    BlockAddress session;
    if (toc && toc.value().disc && !toc.value().trayOpen && !toc.value().disc->tracks.empty()) {
      session = toc.value().disc->tracks.back().start;
      volume = emulated::isoVolumeIdAt(paths.mediumFile(), session);
    }
    // Without a file system on the disc, the block device has no Filesystem interface.
    if (!volume)
      return call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                   QStringLiteral("No such interface 'org.freedesktop.UDisks2.Filesystem' on object "
                                                  "at path ") + call.path());
    for (const auto& entry : parseMountTable(readAll(options_.mountTable)))
      if (entry.mountedFrom == device)
        return call.createErrorReply(kErrorPrefix + QStringLiteral("AlreadyMounted"),
                                     QString::fromStdString("Device " + device + " is already mounted at `" +
                                                            entry.mountPoint + "'."));
    // The kernel mounts no block device that a program holds open exclusively.
    if (!emulated::FileLock::tryLock(paths.exclusiveLock(), "udisks"))
      return call.createErrorReply(kErrorPrefix + QStringLiteral("Failed"),
                                   QString::fromStdString("Error mounting " + device + ": Device or resource busy"));
    std::string name = volume->empty() ? std::string("disc") : *volume;
    for (char& c : name)
      if (c == '/') c = '_';
    fs::path point = options_.mountsDir / name;
    for (int n = 1; fs::exists(point); ++n) point = options_.mountsDir / (name + std::to_string(n));
    fs::create_directories(options_.mountsDir);
    if (Status s = emulated::materialiseSession(paths.mediumFile(), session, point); !s) {
      emulated::removeReadOnlyTree(point);
      return call.createErrorReply(kErrorPrefix + QStringLiteral("Failed"),
                                   QString::fromStdString("Error mounting " + device + ": " + s.error().message));
    }
    writeTable(readAll(options_.mountTable) + mountTableLine(MountEntry{device, point.string(), "iso9660"}, "ro,nosuid,nodev"));
    return call.createReply(QString::fromStdString(point.string()));
  }

  QDBusMessage unmount(const QDBusMessage& call, const std::string& device) {
    std::string kept;
    std::optional<std::string> point;
    std::istringstream lines(readAll(options_.mountTable));
    for (std::string line; std::getline(lines, line);) {
      const auto entries = parseMountTable(line);
      if (!entries.empty() && entries.front().mountedFrom == device) point = entries.front().mountPoint;
      else kept += line + "\n";
    }
    if (!point)
      return call.createErrorReply(kErrorPrefix + QStringLiteral("NotMounted"),
                                   QString::fromStdString("Device `" + device + "' is not mounted"));
    if (options_.busy)
      return call.createErrorReply(kErrorPrefix + QStringLiteral("DeviceBusy"),
                                   QString::fromStdString("Error unmounting " + device + ": target is busy"));
    emulated::removeReadOnlyTree(*point);
    writeTable(kept);
    return call.createReply();
  }

  void writeTable(const std::string& text) {
    const fs::path temp = options_.mountTable.string() + ".new";
    std::ofstream(temp, std::ios::binary | std::ios::trunc) << text;
    fs::rename(temp, options_.mountTable);
  }

  void note(const std::string& line) {
    if (!options_.log.empty()) std::ofstream(options_.log, std::ios::app) << line << "\n";
  }

  Options options_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--mount-table" && hasValue) options.mountTable = argv[++i];
    else if (arg == "--mounts-dir" && hasValue) options.mountsDir = argv[++i];
    else if (arg == "--log" && hasValue) options.log = argv[++i];
    else if (arg == "--busy") options.busy = true;
    else if (const auto eq = arg.find('='); eq != std::string::npos && eq > 0) {
      const std::string device = arg.substr(0, eq);
      const std::string object = libburn::udisksBlockObjectPath(device);
      options.drives[object] = arg.substr(eq + 1);
      options.devices[object] = device;
    } else {
      std::fprintf(stderr, "tessaline-fake-udisks: unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (options.mountTable.empty() || options.mountsDir.empty()) {
    std::fprintf(stderr, "tessaline-fake-udisks: --mount-table and --mounts-dir are needed\n");
    return 2;
  }
  QDBusConnection bus = QDBusConnection::systemBus();
  FakeUDisks service(options);
  if (!bus.isConnected() ||
      !bus.registerVirtualObject(QStringLiteral("/org/freedesktop/UDisks2"), &service, QDBusConnection::SubPath) ||
      !bus.registerService(QStringLiteral("org.freedesktop.UDisks2"))) {
    std::fprintf(stderr, "tessaline-fake-udisks: cannot serve on the bus: %s\n",
                 bus.lastError().message().toLocal8Bit().constData());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
