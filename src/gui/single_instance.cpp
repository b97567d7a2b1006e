#include "gui/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/log.h"
#include "common/private_folder.h"
#include "gui/file_arguments.h"

namespace tessaline::gui {
namespace {

// A handful of paths is a few kilobytes; anything far larger is not ours.
constexpr qint64 kMaxMessageBytes = 16 * 1024 * 1024;

QString localName(const std::filesystem::path& path) { return QString::fromLocal8Bit(path.c_str()); }

// True when the process at the other end of the connection runs as this user.
bool peerIsThisUser(const QLocalSocket& socket) {
  struct ucred peer {};
  socklen_t length = sizeof peer;
  return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
         peer.uid == ::geteuid();
}

}  // namespace

QString instanceSocketName() {
  // The runtime folder counts only when it is what it should be: this
  // user's, and closed to everybody else.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/') {
    struct stat st {};
    if (::lstat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0)
      return localName(std::filesystem::path(runtime) / "tessaline.socket");
  }
  std::error_code ec;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path(ec) / ("tessaline-" + std::to_string(::geteuid()));
  if (Status s = ensurePrivateFolder(folder); !s) {
    logLine("no private folder for the single-instance socket: " + s.error().message);
    return {};
  }
  return localName(folder / "tessaline.socket");
}

bool handToRunningInstance(const std::vector<std::filesystem::path>& files, const QString& socketName,
                           int timeoutMs) {
  if (socketName.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(socketName, QIODevice::WriteOnly);
  if (!socket.waitForConnected(timeoutMs)) return false;
  if (!peerIsThisUser(socket)) {
    // The file names are this user's business: not a word to anybody else.
    logLine("another user's program listens on " + socketName.toStdString() + "; the files were not handed to it");
    return false;  // the socket closes as it goes
  }
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
      if (!peerIsThisUser(*socket)) {
        logLine("refused a connection from another user on the single-instance socket");
        socket->abort();
        socket->deleteLater();
        continue;
      }
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
  if (socketName.isEmpty()) return false;
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
