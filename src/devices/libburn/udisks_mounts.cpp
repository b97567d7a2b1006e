#include "devices/libburn/udisks_mounts.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QVariantMap>

#include <cstdio>

#include "devices/mount_lookup.h"
#include "devices/mount_table.h"

namespace tessaline::libburn {
namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
constexpr int kCallTimeoutMs = 30000;

QDBusMessage call(const std::string& object, const QString& interface, const QString& method,
                  const QVariantList& args) {
  QDBusMessage msg =
      QDBusMessage::createMethodCall(kService, QString::fromStdString(object), interface, method);
  msg.setArguments(args);
  return QDBusConnection::systemBus().call(msg, QDBus::Block, kCallTimeoutMs);
}

}  // namespace

std::string udisksBlockObjectPath(std::string_view devicePath) {
  const auto slash = devicePath.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? devicePath : devicePath.substr(slash + 1);
  std::string path = "/org/freedesktop/UDisks2/block_devices/";
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (plain) {
      path.push_back(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "_%02x", static_cast<unsigned char>(c));
      path += buf;
    }
  }
  return path;
}

Error errorFromUDisksReply(const QString& errorName, const QString& message, const std::string& action,
                           const std::string& devicePath) {
  const std::string detail = message.toStdString();
  const std::string what = "Could not " + action + " the disc in " + devicePath;
  if (errorName.endsWith(QLatin1String(".DeviceBusy")))
    return makeError(ErrorKind::Busy, what + ": files on it are open in another program. Close them and try again.");
  if (errorName.contains(QLatin1String(".NotAuthorized")))
    return makeError(ErrorKind::PermissionDenied, what + ": the system did not allow it (" + detail + ").");
  if (errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
      errorName == QLatin1String("org.freedesktop.DBus.Error.NoServer") ||
      errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
    return makeError(ErrorKind::NotFound, what + ": UDisks2 is not running (" + detail + ").");
  if (errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
      errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
      errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject"))
    return makeError(ErrorKind::NotFound, what + ": the system sees no file system on it.");
  if (errorName == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
      errorName == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
    return makeError(ErrorKind::TimedOut, what + ": UDisks2 did not answer in time.");
  return makeError(ErrorKind::Io, what + ": " + (detail.empty() ? errorName.toStdString() : detail));
}

std::vector<MountEntry> mountsOfDevice(const std::vector<MountEntry>& mounts, const std::string& devicePath) {
  std::vector<MountEntry> out;
  for (const auto& m : mounts)
    if (isMountedFromDevice(m.mountedFrom, devicePath)) out.push_back(m);
  return out;
}

Status unmountDevice(const std::string& devicePath, const std::vector<MountEntry>& mounts, MountControl& control) {
  const auto mine = mountsOfDevice(mounts, devicePath);
  if (mine.empty()) return {};
  if (!control.available())
    return makeError(ErrorKind::Busy, "The disc in " + devicePath + " is mounted at " + mine.front().mountPoint +
                                          " and cannot be unmounted because UDisks2 is not running. Unmount it "
                                          "(umount " + mine.front().mountPoint + ") and try again.");
  return control.unmount(devicePath);
}

bool UDisksMountControl::available() {
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QDBusReply<bool> reply = bus.interface()->isServiceRegistered(kService);
  if (reply.isValid() && reply.value()) return true;
  // UDisks2 is started on demand by the bus.
  const QDBusReply<QStringList> activatable = bus.interface()->call(QStringLiteral("ListActivatableNames"));
  return activatable.isValid() && activatable.value().contains(kService);
}

std::string UDisksMountControl::blockObject(const std::string& devicePath) {
  QVariantMap spec;
  spec.insert(QStringLiteral("path"), QString::fromStdString(devicePath));
  const QDBusMessage reply = call("/org/freedesktop/UDisks2/Manager", QStringLiteral("org.freedesktop.UDisks2.Manager"),
                                  QStringLiteral("ResolveDevice"), {spec, QVariantMap()});
  if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
    const auto objects = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().front());
    if (!objects.isEmpty()) return objects.front().path().toStdString();
  }
  return udisksBlockObjectPath(devicePath);  // UDisks2 before 2.7.3 has no ResolveDevice
}

Status UDisksMountControl::unmount(const std::string& devicePath) {
  const QDBusMessage reply = call(blockObject(devicePath), kFilesystem, QStringLiteral("Unmount"), {QVariantMap()});
  if (reply.type() == QDBusMessage::ReplyMessage) return {};
  if (reply.errorName().endsWith(QLatin1String(".NotMounted"))) return {};
  return errorFromUDisksReply(reply.errorName(), reply.errorMessage(), "unmount", devicePath);
}

Result<std::string> UDisksMountControl::mount(const std::string& devicePath) {
  const QDBusMessage reply = call(blockObject(devicePath), kFilesystem, QStringLiteral("Mount"), {QVariantMap()});
  if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
    return reply.arguments().front().toString().toStdString();
  if (reply.errorName().endsWith(QLatin1String(".AlreadyMounted"))) {
    const auto mine = mountsOfDevice(readMountTable(), devicePath);
    if (!mine.empty()) return mine.front().mountPoint;
  }
  return errorFromUDisksReply(reply.errorName(), reply.errorMessage(), "mount", devicePath);
}

void UDisksMountControl::rescan(const std::string& devicePath) {
  call(blockObject(devicePath), QStringLiteral("org.freedesktop.UDisks2.Block"), QStringLiteral("Rescan"),
       {QVariantMap()});
}

}  // namespace tessaline::libburn
