#include "gui/single_instance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

#include "gui/file_arguments.h"

namespace tessaline::gui {
namespace {

// A handful of paths is a few kilobytes; anything far larger is not ours.
constexpr qint64 kMaxMessageBytes = 16 * 1024 * 1024;

}  // namespace

QString instanceSocketName() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
    return QDir(QString::fromLocal8Bit(runtime)).filePath(QStringLiteral("tessaline.socket"));
  return QDir(QDir::tempPath()).filePath(QStringLiteral("tessaline-%1.socket").arg(getuid()));
}

bool handToRunningInstance(const std::vector<std::filesystem::path>& files, const QString& socketName,
                           int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(socketName, QIODevice::WriteOnly);
  if (!socket.waitForConnected(timeoutMs)) return false;
  const QByteArray message = encodePaths(files);
  socket.write(message);
  while (socket.bytesToWrite() > 0)
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
  return true;
}

InstanceServer::InstanceServer(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)), server_(new QLocalServer(this)) {
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      auto buffer = std::make_shared<QByteArray>();
      connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] {
        buffer->append(socket->readAll());
        if (buffer->size() > kMaxMessageBytes) socket->abort();
      });
      connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        socket->deleteLater();
        if (buffer->size() > kMaxMessageBytes) return;
        if (auto paths = decodePaths(*buffer)) handler_(std::move(*paths));
      });
    }
  });
}

InstanceServer::~InstanceServer() = default;

bool InstanceServer::listen(const QString& socketName) {
  // A Tessaline that answers there keeps its place (listening would replace
  // its socket); nobody answering means a stale socket of a crashed run.
  QLocalSocket probe;
  probe.connectToServer(socketName);
  if (probe.waitForConnected(500)) {
    probe.abort();
    return false;
  }
  QLocalServer::removeServer(socketName);
  return server_->listen(socketName);
}

}  // namespace tessaline::gui
