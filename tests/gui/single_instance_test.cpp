// The second start's socket: in a folder only this user may enter, and neither
// side talks to another user's process (tests run as root; the other is nobody).

#include <QLocalSocket>

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

// A stream socket bound to or connected to `path`; -1 when that fails.
int unixSocket(const fs::path& path, bool listen) {
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  const bool ok = listen ? ::bind(s, a, sizeof addr) == 0 && ::listen(s, 1) == 0 : ::connect(s, a, sizeof addr) == 0;
  return s >= 0 && ok ? s : -1;
}

TEST(SingleInstanceSocket, LivesOnlyInAFolderOfThisUserClosedToOthers) {
  TempDir tmp;
  openUpForNobody(tmp.path());
  ASSERT_EQ(::chmod(tmp.path().c_str(), 01777), 0);  // like /tmp
  ScopedEnv tmpdir("TMPDIR", tmp.path().string());
  const fs::path fallback = tmp / ("tessaline-" + std::to_string(::geteuid()));
  const QString inFallback = QString::fromStdString((fallback / "tessaline.socket").string());
  for (const auto& [name, mode] : {std::pair{"run-private", 0700}, {"run-open", 0777}, {"elsewhere", 0700}})
    ASSERT_EQ(::mkdir((tmp / name).c_str(), 0) || ::chmod((tmp / name).c_str(), static_cast<mode_t>(mode)), 0);
  ASSERT_EQ(asNobody([&] { return ::mkdir((tmp / "run-nobody").c_str(), 0700) == 0; }), 0);
  enum class Before { Nothing, OursOpen, Nobodys, Link };
  const struct {
    std::string runtime;
    Before fallbackBefore;
    QString expected;
  } cases[] = {{(tmp / "run-private").string(), Before::Nothing,
                QString::fromStdString((tmp / "run-private/tessaline.socket").string())},
               {"", Before::Nothing, inFallback},
               {"relative/run", Before::Nothing, inFallback},
               {(tmp / "run-open").string(), Before::Nothing, inFallback},
               {(tmp / "run-nobody").string(), Before::Nothing, inFallback},
               {(tmp / "missing").string(), Before::OursOpen, inFallback},
               {"", Before::Nobodys, QString()},
               {"", Before::Link, QString()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.runtime + " " + std::to_string(static_cast<int>(c.fallbackBefore)));
    std::error_code ec;
    fs::remove(fallback, ec);
    if (c.fallbackBefore == Before::OursOpen) ASSERT_EQ(::mkdir(fallback.c_str(), 0) || ::chmod(fallback.c_str(), 0755), 0);
    if (c.fallbackBefore == Before::Nobodys) ASSERT_EQ(asNobody([&] { return ::mkdir(fallback.c_str(), 0777) == 0; }), 0);
    if (c.fallbackBefore == Before::Link) fs::create_directory_symlink(tmp / "elsewhere", fallback);
    ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
    EXPECT_EQ(gui::instanceSocketName(), c.expected);
    if (c.expected == inFallback) EXPECT_EQ(fs::symlink_status(fallback).permissions(), fs::perms::owner_all);
  }
  // Without a private place each start runs on its own.
  gui::InstanceServer server([](std::vector<fs::path>) {});
  EXPECT_FALSE(server.listen(QString()));
  EXPECT_FALSE(gui::handToRunningInstance({"/a"}, QString(), 100));
}

TEST(SingleInstanceSocket, NeitherSideTalksToAnotherUser) {
  TempDir tmp;
  openUpForNobody(tmp.path());
  ASSERT_EQ(::chmod(tmp.path().c_str(), 01777), 0);
  const std::vector<fs::path> files{"/etc/shadow", "/home/u/private.pdf"};
  // The running one ignores another user's connection, even on a socket anybody may reach.
  const fs::path mine = tmp / "mine.socket";
  std::vector<std::vector<fs::path>> received;
  gui::InstanceServer server([&](std::vector<fs::path> paths) { received.push_back(std::move(paths)); });
  ASSERT_TRUE(server.listen(QString::fromStdString(mine.string())));
  ::chmod(mine.c_str(), 0777);
  const QByteArray message = gui::encodePaths({"/tmp/planted"});
  EXPECT_EQ(asNobody([&] {
              const int s = unixSocket(mine, false);
              return s >= 0 && ::write(s, message.constData(), static_cast<std::size_t>(message.size())) == message.size();
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
  // Neither connection is kept once it has ended.
  EXPECT_TRUE(waitUntil([&] { return server.findChildren<QLocalSocket*>().isEmpty(); }));
  // A second start tells nothing to another user's program listening there:
  // it answers the bytes of the first read (0: closed unread), 200 when nobody came.
  const fs::path theirs = tmp / "theirs.socket";
  bool toldTheirs = true;
  std::thread client([&] {
    for (int i = 0; i < 1000 && !fs::exists(theirs); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    toldTheirs = gui::handToRunningInstance(files, QString::fromStdString(theirs.string()), 3000);
  });
  EXPECT_EQ(runAsNobody([&] {
              const int s = unixSocket(theirs, true);
              pollfd p{s, POLLIN, 0};
              if (s < 0 || ::poll(&p, 1, 20000) <= 0) return 200;
              pollfd q{::accept(s, nullptr, nullptr), POLLIN, 0};
              char buffer[100];
              return q.fd >= 0 && ::poll(&q, 1, 5000) > 0 ? static_cast<int>(std::max<ssize_t>(::read(q.fd, buffer, sizeof buffer), 0)) : 0;
            }),
            0);
  client.join();
  EXPECT_FALSE(toldTheirs);
}

TEST(SecondStart, MessagesRoundTripAndMalformedOnesAreRefused) {
  const std::vector<fs::path> paths{"/a", std::string("/caf\xe9/\xff"), "/with space/x"};
  EXPECT_EQ(gui::decodePaths(gui::encodePaths(paths)), paths);
  QByteArray truncated = gui::encodePaths(paths);
  truncated.chop(2);
  EXPECT_FALSE(gui::decodePaths(truncated).has_value());
  EXPECT_FALSE(gui::decodePaths(gui::encodePaths({}) + QByteArray("\xff\xff\xff\xff", 4)).has_value());
  EXPECT_FALSE(gui::decodePaths(QByteArray()).has_value());  // a look, not a request
  // Relative and empty paths are not accepted from another process; the rest are.
  EXPECT_EQ(gui::decodePaths(gui::encodePaths({"relative", "/ok", ""})), (std::vector<fs::path>{"/ok"}));

  // A sender that goes on past 16 MB without hanging up is cut off, unheard.
  TempDir temp;
  bool heard = false;
  gui::InstanceServer server([&](std::vector<fs::path>) { heard = true; });
  ASSERT_TRUE(server.listen(QString::fromStdString((temp / "s.socket").string())));
  QLocalSocket flood;
  flood.connectToServer(QString::fromStdString((temp / "s.socket").string()));
  ASSERT_TRUE(flood.waitForConnected(2000));
  flood.write(QByteArray(16 * 1024 * 1024 + 1, 'x'));
  EXPECT_TRUE(waitUntil([&] { return flood.state() == QLocalSocket::UnconnectedState; }));
  EXPECT_FALSE(heard);
}

TEST(SecondStart, AStaleSocketIsReplaced) {
  TempDir temp;
  const QString name = QString::fromStdString((temp / "tessaline.socket").string());
  {
    gui::InstanceServer crashed([](std::vector<fs::path>) {});
    ASSERT_TRUE(crashed.listen(name));
  }
  writeFile(temp / "tessaline.socket", "");  // a leftover file where the socket was
  gui::InstanceServer server([](std::vector<fs::path>) {});
  EXPECT_TRUE(server.listen(name));
  // A second server while the first answers: refused, not stolen.
  gui::InstanceServer another([](std::vector<fs::path>) {});
  EXPECT_FALSE(another.listen(name));
  // Nobody listening: the start becomes the running one.
  EXPECT_FALSE(gui::handToRunningInstance({"/a"}, QString::fromStdString((temp / "none.socket").string()), 500));
}

}  // namespace
}  // namespace tessaline::test
