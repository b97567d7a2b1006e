// The single-instance socket and other local users: it lives in a folder only
// this user may enter, and neither the running application nor a second
// start talks to a process of another user. Tests run as root; the other
// user is nobody.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "gui/file_arguments.h"
#include "gui/single_instance.h"
#include "support/test_support.h"

namespace tessaline::test {
namespace {

int asNobody(const std::function<bool()>& fn) { return runAsNobody([&] { return fn() ? 0 : 1; }); }

// A stream socket's address on `path`.
sockaddr_un unixAddress(const fs::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

TEST(SingleInstanceSocket, LivesOnlyInAFolderOfThisUserClosedToOthers) {
  TempDir tmp;
  openUpForNobody(tmp.path());
  ASSERT_EQ(::chmod(tmp.path().c_str(), 01777), 0);  // like /tmp
  ScopedEnv tmpdir("TMPDIR", tmp.path().string());
  const fs::path fallback = tmp / ("tessaline-" + std::to_string(::geteuid()));
  const QString inFallback = QString::fromStdString((fallback / "tessaline.socket").string());
  fs::create_directory(tmp / "run-private");
  ::chmod((tmp / "run-private").c_str(), 0700);
  fs::create_directory(tmp / "run-open");
  ::chmod((tmp / "run-open").c_str(), 0777);
  ASSERT_EQ(asNobody([&] { return ::mkdir((tmp / "run-nobody").c_str(), 0700) == 0; }), 0);
  fs::create_directory(tmp / "elsewhere");
  ::chmod((tmp / "elsewhere").c_str(), 0700);

  enum class Before { Nothing, OursOpen, Nobodys, Link };
  struct Case {
    std::string runtime;
    Before fallbackBefore;
    QString expected;
  };
  const std::vector<Case> cases{
      {(tmp / "run-private").string(), Before::Nothing,
       QString::fromStdString((tmp / "run-private/tessaline.socket").string())},
      {"", Before::Nothing, inFallback},
      {"relative/run", Before::Nothing, inFallback},
      {(tmp / "run-open").string(), Before::Nothing, inFallback},
      {(tmp / "run-nobody").string(), Before::Nothing, inFallback},
      {(tmp / "missing").string(), Before::OursOpen, inFallback},
      {"", Before::Nobodys, QString()},
      {"", Before::Link, QString()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.runtime + " " + std::to_string(static_cast<int>(c.fallbackBefore)));
    std::error_code ec;
    fs::remove(fallback, ec);
    if (c.fallbackBefore == Before::OursOpen) {
      fs::create_directory(fallback);
      ::chmod(fallback.c_str(), 0755);
    } else if (c.fallbackBefore == Before::Nobodys) {
      ASSERT_EQ(asNobody([&] { return ::mkdir(fallback.c_str(), 0777) == 0; }), 0);
    } else if (c.fallbackBefore == Before::Link) {
      fs::create_directory_symlink(tmp / "elsewhere", fallback);
    }
    ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
    EXPECT_EQ(gui::instanceSocketName(), c.expected);
    if (c.expected == inFallback) EXPECT_EQ(fs::symlink_status(fallback).permissions(), fs::perms::owner_all);
  }
  // Without a private place each start runs on its own.
  gui::InstanceServer server([](std::vector<fs::path>) {});
  EXPECT_FALSE(server.listen(QString()));
  EXPECT_FALSE(gui::handToRunningInstance({"/a"}, QString(), 100));
}

// Listens on `path` as nobody and answers how many bytes a client sent (at
// most 100), or 200 when nobody came.
int listenAsNobody(const fs::path& path) {
  return runAsNobody([&] {
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = unixAddress(path);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 1) != 0) return 201;
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) return 200;
    const int c = ::accept(s, nullptr, nullptr);
    int total = 0;
    char buffer[4096];
    pollfd q{c, POLLIN, 0};
    while (c >= 0 && ::poll(&q, 1, 5000) > 0) {
      const ssize_t n = ::read(c, buffer, sizeof buffer);
      if (n <= 0) break;
      total += static_cast<int>(n);
    }
    return total > 100 ? 100 : total;
  });
}

TEST(SingleInstanceSocket, NeitherSideTalksToAnotherUser) {
  TempDir tmp;
  openUpForNobody(tmp.path());
  ASSERT_EQ(::chmod(tmp.path().c_str(), 01777), 0);
  const std::vector<fs::path> files{"/etc/shadow", "/home/u/private.pdf"};

  // The running one ignores a connection from another user, even on a socket
  // anybody may reach.
  const fs::path mine = tmp / "mine.socket";
  std::vector<std::vector<fs::path>> received;
  gui::InstanceServer server([&](std::vector<fs::path> paths) { received.push_back(std::move(paths)); });
  ASSERT_TRUE(server.listen(QString::fromStdString(mine.string())));
  ::chmod(mine.c_str(), 0777);
  const QByteArray message = gui::encodePaths({"/tmp/planted"});
  EXPECT_EQ(asNobody([&] {
              const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
              sockaddr_un addr = unixAddress(mine);
              return ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     ::write(s, message.constData(), static_cast<std::size_t>(message.size())) == message.size();
            }),
            0);
  waitUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_TRUE(received.empty());
  // This user's second start still gets through.
  bool handed = false;
  std::thread second([&] { handed = gui::handToRunningInstance(files, QString::fromStdString(mine.string())); });
  EXPECT_TRUE(waitUntil([&] { return !received.empty(); }));
  second.join();
  EXPECT_TRUE(handed);
  EXPECT_EQ(received, std::vector<std::vector<fs::path>>{files});

  // A second start tells nothing to another user's program listening there.
  const fs::path theirs = tmp / "theirs.socket";
  bool toldTheirs = true;
  std::thread client([&] {
    for (int i = 0; i < 1000 && !fs::exists(theirs); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    toldTheirs = gui::handToRunningInstance(files, QString::fromStdString(theirs.string()), 3000);
  });
  EXPECT_EQ(listenAsNobody(theirs), 0);
  client.join();
  EXPECT_FALSE(toldTheirs);
}

}  // namespace
}  // namespace tessaline::test
