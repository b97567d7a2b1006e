#pragma once
// One Tessaline per user: the first start listens on a local socket in the
// user's runtime folder; a later start hands its files to it and ends.

#include <QObject>
#include <QString>

#include <filesystem>
#include <functional>
#include <vector>

class QLocalServer;

namespace tessaline::gui {

// $XDG_RUNTIME_DIR/tessaline.socket when that folder is this user's and
// private (0700), else tessaline.socket in <temp>/tessaline-<uid>, a folder
// made private and checked to be this user's. Empty when there is no such
// place: then each start runs on its own.
QString instanceSocketName();

// Sends the files to the running Tessaline. Answers false when none is
// listening (this start becomes the running one), and when the program at
// the other end runs as another user (it is told nothing). The running one
// likewise ignores connections from other users.
bool handToRunningInstance(const std::vector<std::filesystem::path>& files, const QString& socketName,
                           int timeoutMs = 3000);

class InstanceServer : public QObject {
  Q_OBJECT
 public:
  using Handler = std::function<void(std::vector<std::filesystem::path>)>;
  explicit InstanceServer(Handler handler, QObject* parent = nullptr);
  ~InstanceServer() override;
  // Listens on the name, replacing a stale socket left by a crashed run.
  bool listen(const QString& socketName);

 private:
  Handler handler_;
  QLocalServer* server_ = nullptr;
};

}  // namespace tessaline::gui
