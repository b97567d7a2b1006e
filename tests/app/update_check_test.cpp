// The update check on a loopback server: a newer release is announced, every broken
// or hostile answer ends it silently (this release, no server: the menu's check).

#include <gtest/gtest.h>

#include "app/update_check.h"
#include "support/loopback_server.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;
using test::LoopbackServer;

std::vector<int> runCheck(const QUrl& url, std::chrono::milliseconds timeout) {
  std::vector<int> updates;
  int finished = 0;
  UpdateCheck check(url);
  check.setTimeout(timeout);
  QObject::connect(&check, &UpdateCheck::updateAvailable, [&](int n) {
    EXPECT_EQ(finished, 0) << "announced after the end";
    updates.push_back(n);
  });
  QObject::connect(&check, &UpdateCheck::finished, [&] { ++finished; });
  check.start();
  check.start();  // only the first start counts
  EXPECT_EQ(finished, 0) << "start() must return before the check ends";
  EXPECT_TRUE(test::waitUntil([&] { return finished > 0; }, 20s));
  test::waitUntil([] { return false; }, 50ms);  // nothing more arrives afterwards
  EXPECT_EQ(finished, 1);
  return updates;
}

TEST(UpdateCheck, ANewerReleaseIsAnnouncedAndEveryBrokenOrHostileAnswerIsSilent) {
  LoopbackServer target("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n261");
  const QByteArray ok = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
  test::TempDir dir;
  test::writeFile(dir / "version.txt", "999");
  struct Case {
    const char* what;
    QByteArray reply;
    std::vector<int> updates;
    qint64 fillBytes = 0;
    QByteArray fill = " ";
    std::chrono::milliseconds timeout = 10min;  // far off: a cap must end the check
    QUrl url = {};
  };
  const std::vector<Case> cases{
      {"a newer release", ok + "Content-Length: 9\r\n\r\n253 words", {253}},
      {"a newer release, ended by closing", ok + "\r\n 254\n", {254}},
      {"chunked", ok + "Transfer-Encoding: chunked\r\n\r\n3\r\n255\r\n1a;x=y\r\n" + QByteArray(26, ' ') + "\r\n0\r\n\r\n", {255}},
      {"not a number", ok + "\r\nv999", {}},
      {"an error status", "HTTP/1.1 404 Not Found\r\n\r\n999", {}},
      {"a redirection", "HTTP/1.1 302 Found\r\nLocation: " + target.url().toEncoded() + "\r\n\r\n", {261}},
      {"a redirection ended by its length, not by closing",
       "HTTP/1.1 301 Moved Permanently\r\nContent-Length: 0\r\nLocation: " + target.url().toEncoded() + "\r\n\r\n", {261}},
      {"a redirection to nowhere", "HTTP/1.1 302 Found\r\n\r\n999", {}},
      {"damaged chunks", ok + "Transfer-Encoding: chunked\r\n\r\n5\r\n999\r\n0\r\n\r\n", {}},
      {"two lengths", ok + "Content-Length: 3\r\ncontent-length: 4\r\n\r\n999 ", {}},
      {"a negative length", ok + "Content-Length: -1\r\n\r\n999", {}},
      {"a header without colon", ok + "no colon\r\n\r\n999", {}},
      {"a header without a name", ok + ": nameless\r\nContent-Length: 3\r\n\r\n999", {}},
      {"not HTTP/1", "HTTP/2 200\r\n\r\n999", {}},
      {"endless header lines", "HTTP/1.1 200 OK\r\n", {}, -1, "X-Filler: " + QByteArray(1000, 'x') + "\r\n"},
      {"a huge body with its length", ok + "Content-Length: 10000000\r\n\r\n999 ", {}, 10'000'000 - 4},
      {"a huge body without length", ok + "\r\n999 ", {}, 10'000'000},
      {"never answering", {}, {}, 0, " ", 300ms},
      {"not a URL", {}, {}, 0, " ", 5s, QUrl(QStringLiteral("not a url at all"))},
      {"a local file", {}, {}, 0, " ", 5s, QUrl::fromLocalFile(QString::fromStdString((dir / "version.txt").string()))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoopbackServer server(c.reply);
    server.fill = c.fill;
    server.fillBytes = c.fillBytes;
    EXPECT_EQ(runCheck(c.url.isEmpty() ? server.url() : c.url, c.timeout), c.updates);
  }
  EXPECT_EQ(target.connections, 2);  // each redirection followed once
}

}  // namespace
}  // namespace tessaline
