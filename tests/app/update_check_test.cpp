#include <gtest/gtest.h>

#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <climits>
#include <memory>
#include <vector>

#include "app/update_check.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;

TEST(IntValue, ReadsTheLeadingDecimalNumberAndClampsOverflow) {
  const std::vector<std::pair<QByteArrayView, int>> cases{
      {"253", 253}, {"  \t\n 253\n", 253}, {"300 words", 300}, {"300.9", 300}, {"+7", 7}, {"-5", -5},
      {"\xEF\xBB\xBF" "254", 254}, {"", 0}, {"abc", 0}, {"v253", 0}, {"- 5", 0}, {"+-5", 0},
      {QByteArrayView("\0" "253", 4), 0}, {"2147483647", INT_MAX}, {"2147483648", INT_MAX},
      {"99999999999999999999999999", INT_MAX}, {"-2147483648", INT_MIN}, {"-99999999999999999999999999", INT_MIN},
      {"00000000000000000000000253", 253}};
  for (const auto& [text, value] : cases) EXPECT_EQ(intValue(text), value) << text.toByteArray().toStdString();
}

TEST(UpdateCheckConfiguration, EnvironmentOverridesTheBuiltInAddresses) {
  {
    test::ScopedEnv update("TESSALINE_UPDATE_URL", "");
    test::ScopedEnv site("TESSALINE_WEBSITE_URL", "");
    EXPECT_EQ(updateEndpoint(), QUrl(QStringLiteral(TESSALINE_UPDATE_URL)));
    EXPECT_EQ(vendorWebsite(), QUrl(QStringLiteral(TESSALINE_WEBSITE_URL)));
  }
  test::ScopedEnv update("TESSALINE_UPDATE_URL", "http://127.0.0.1:9/v.txt");
  test::ScopedEnv site("TESSALINE_WEBSITE_URL", "http://127.0.0.1:9/");
  EXPECT_EQ(updateEndpoint(), QUrl(QStringLiteral("http://127.0.0.1:9/v.txt")));
  EXPECT_EQ(vendorWebsite(), QUrl(QStringLiteral("http://127.0.0.1:9/")));
}

// A small HTTP server on the loopback address. Each connection gets the one
// answer the test set up. Everything it holds goes when it does.
class LoopbackServer : public QObject {
 public:
  LoopbackServer() {
    EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
  }

  QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/version.txt").arg(server_.serverPort())); }

  // A response whose body begins with `head` and is padded with spaces to
  // `total` bytes (by default none), written as the client takes it. Without
  // a length the body ends when the server closes.
  void answer(int status, QByteArray head, bool withLength = true, QByteArray extraHeaders = {}, qint64 total = -1) {
    silent_ = false;
    status_ = status;
    body_ = std::move(head);
    withLength_ = withLength;
    extraHeaders_ = std::move(extraHeaders);
    total_ = total < 0 ? body_.size() : total;
  }
  // Reads the request and never answers.
  void silent() { silent_ = true; }
  // Answers a status line, then header lines without end: as fast as the
  // client takes them, or one short line per interval.
  void endlessHeaders(std::chrono::milliseconds interval = {}) {
    silent_ = false;
    endless_ = true;
    interval_ = interval;
  }
  int requests() const { return requests_; }
  int closedConnections() const { return closed_; }

 private:
  void accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
      socket->setParent(this);
      QObject::connect(socket, &QTcpSocket::disconnected, this, [this] { ++closed_; });
      auto request = std::make_shared<QByteArray>();
      QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
        const bool answered = request->contains("\r\n\r\n");
        request->append(socket->readAll());
        if (!answered && request->contains("\r\n\r\n")) respond(socket);
      });
    }
  }

  void respond(QTcpSocket* socket) {
    ++requests_;
    if (silent_) return;
    if (endless_) {
      socket->write("HTTP/1.1 200 OK\r\n");
      if (interval_.count() > 0) {
        auto* trickle = new QTimer(socket);
        QObject::connect(trickle, &QTimer::timeout, socket, [socket] { socket->write("X-Slow: 1\r\n"); });
        trickle->start(interval_);
        return;
      }
      const QByteArray lines = QByteArray("X-Filler: ") + QByteArray(1000, 'x') + "\r\n";
      auto more = [socket, chunk = lines.repeated(64)] {
        if (socket->bytesToWrite() < 256 * 1024 && socket->state() == QAbstractSocket::ConnectedState) socket->write(chunk);
      };
      QObject::connect(socket, &QTcpSocket::bytesWritten, this, more);
      more();
      return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status_) + (status_ == 200 ? " OK" : " Error") +
                      "\r\nContent-Type: text/plain\r\nConnection: close\r\n" + extraHeaders_;
    if (withLength_) head += "Content-Length: " + QByteArray::number(total_) + "\r\n";
    socket->write(head + "\r\n" + body_);
    auto sent = std::make_shared<qint64>(body_.size());
    const QByteArray chunk(64 * 1024, ' ');
    auto more = [socket, sent, chunk, total = total_] {
      if (socket->bytesToWrite() > 0 || socket->state() != QAbstractSocket::ConnectedState) return;
      if (*sent >= total) return socket->disconnectFromHost();
      const qint64 n = std::min<qint64>(chunk.size(), total - *sent);
      socket->write(chunk.constData(), n);
      *sent += n;
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, this, more);
    more();
  }

  QTcpServer server_;
  bool silent_ = false, withLength_ = true, endless_ = false;
  int status_ = 200, requests_ = 0, closed_ = 0;
  QByteArray body_, extraHeaders_;
  qint64 total_ = 0;
  std::chrono::milliseconds interval_{};
};

// Runs one check to its end; answers the releases it announced. A check that
// never finishes fails the test.
std::vector<int> runCheck(const QUrl& url, std::chrono::milliseconds timeout = 5s, qint64 maxBody = -1) {
  std::vector<int> updates;
  int finished = 0;
  UpdateCheck check(url);
  check.setTimeout(timeout);
  if (maxBody >= 0) check.setMaxBodyBytes(maxBody);
  QObject::connect(&check, &UpdateCheck::updateAvailable, [&](int n) {
    EXPECT_EQ(finished, 0) << "updateAvailable after finished";
    updates.push_back(n);
  });
  QObject::connect(&check, &UpdateCheck::finished, [&] { ++finished; });
  check.start();
  EXPECT_EQ(finished, 0) << "start() must return before the check ends";
  EXPECT_TRUE(test::waitUntil([&] { return finished > 0; }, 20s));
  test::waitUntil([] { return false; }, 50ms);  // nothing more arrives afterwards
  EXPECT_EQ(finished, 1);
  return updates;
}

TEST(UpdateCheck, OnlyANewerReleaseInASuccessfulAnswerIsAnnounced) {
  LoopbackServer server;
  struct Case {
    int status;
    QByteArray body;
    std::vector<int> updates;
    bool withLength = true;
  };
  const Case cases[] = {
      {200, "253", {253}}, {200, "253\n", {253}}, {200, "300 words", {300}}, {200, "252", {}}, {200, "0", {}},
      {200, "-5", {}}, {200, "", {}}, {200, "abc", {}}, {200, "v999", {}},
      {200, "260", {260}, false},  // a body ended by closing the connection
      // An error status is silent whatever the body (302 without a Location leads nowhere).
      {404, "999", {}}, {500, "999", {}}, {302, "999", {}}};
  for (const Case& c : cases) {
    server.answer(c.status, c.body, c.withLength);
    EXPECT_EQ(runCheck(server.url()), c.updates) << c.status << " " << c.body.constData();
  }
  EXPECT_EQ(server.requests(), static_cast<int>(std::size(cases)));
}

TEST(UpdateCheck, ARedirectionIsFollowed) {
  LoopbackServer target;
  target.answer(200, "261");
  LoopbackServer server;
  server.answer(302, "", true, "Location: " + target.url().toEncoded() + "\r\n");
  EXPECT_EQ(runCheck(server.url()), std::vector<int>{261});
  EXPECT_EQ(target.requests(), 1);
}

TEST(UpdateCheck, AnUnreachableOrUnusableEndpointIsSilent) {
  quint16 closedPort = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    closedPort = probe.serverPort();
  }
  EXPECT_TRUE(runCheck(QUrl(QStringLiteral("http://127.0.0.1:%1/v").arg(closedPort))).empty());
  EXPECT_TRUE(runCheck(QUrl()).empty());
  EXPECT_TRUE(runCheck(QUrl(QStringLiteral("not a url at all"))).empty());
  // Only HTTP is fetched: a local file naming a newer release is not read.
  test::TempDir dir;
  test::writeFile(dir / "version.txt", "999");
  EXPECT_TRUE(runCheck(QUrl::fromLocalFile(QString::fromStdString((dir / "version.txt").string()))).empty());
}

TEST(UpdateCheck, AServerThatNeverAnswersEndsAtTheTimeOut) {
  LoopbackServer server;
  server.silent();
  EXPECT_TRUE(runCheck(server.url(), 300ms).empty());
  EXPECT_EQ(server.requests(), 1);
}

TEST(UpdateCheck, EndlessHeaderLinesEndAtTheHeaderCapOrTheDeadlineWithTheConnection) {
  LoopbackServer server;
  server.endlessHeaders();
  // Ended by the cap on header bytes: the time-out is far off.
  EXPECT_TRUE(runCheck(server.url(), 10min).empty());
  EXPECT_TRUE(test::waitUntil([&] { return server.closedConnections() == 1; }));
  // A line now and then stays under the cap: ended at the deadline.
  server.endlessHeaders(20ms);
  EXPECT_TRUE(runCheck(server.url(), 300ms).empty());
  EXPECT_TRUE(test::waitUntil([&] { return server.closedConnections() == 2; }));
}

TEST(UpdateCheck, ResponseHeadsAreReadStrictly) {
  const std::vector<std::pair<QByteArray, QByteArray>> heads{
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nX: y", "200 3 -"},
      {"HTTP/1.0 302 Found\nLocation: /v2.txt", "302 - /v2.txt"},
      {"HTTP/1.1 204", "204 - -"},
      {"HTTP/1.1 200 OK\r\ncontent-length: 3\r\nContent-Length: 4", "refused"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1", "refused"},
      {"HTTP/1.1 200 OK\r\nno colon here", "refused"},
      {"HTTP/2 200", "refused"}, {"ICY 200 OK", "refused"}, {"HTTP/1.1 20x OK", "refused"}, {"", "refused"}};
  for (const auto& [head, expected] : heads) {
    const auto parsed = parseResponseHead(head);
    const QByteArray seen = !parsed ? QByteArray("refused")
                                    : QByteArray::number(parsed->status) + " " +
                                          (parsed->contentLength ? QByteArray::number(*parsed->contentLength) : "-") + " " +
                                          (parsed->location.isEmpty() ? QByteArray("-") : parsed->location);
    EXPECT_EQ(seen, expected) << head.constData();
  }
  EXPECT_EQ(decodeChunkedBody("3\r\n253\r\n1;x=y\r\n \r\n0\r\n\r\n"), QByteArray("253 "));
  EXPECT_FALSE(decodeChunkedBody("5\r\n253\r\n0\r\n\r\n"));
  EXPECT_FALSE(decodeChunkedBody("ffffffffffffffff\r\n"));
}

TEST(UpdateCheck, ABodyOverTheCapIsAbandonedAndReadsAsNothing) {
  LoopbackServer server;
  for (const bool withLength : {true, false}) {
    SCOPED_TRACE(withLength);
    // Ten megabytes: given up on at the header, or once more than the cap has
    // arrived. The time-out is far off: it must be the cap that ends these.
    server.answer(200, "999 ", withLength, {}, 10 * 1000 * 1000);
    EXPECT_TRUE(runCheck(server.url(), 10min).empty());
    // Exactly the cap is still read, a byte more is not.
    server.answer(200, QByteArray("253") + QByteArray(13, ' '), withLength);
    EXPECT_EQ(runCheck(server.url(), 5s, 16), std::vector<int>{253});
    server.answer(200, QByteArray("253") + QByteArray(14, ' '), withLength);
    EXPECT_TRUE(runCheck(server.url(), 5s, 16).empty());
  }
}

TEST(UpdateCheck, DestroyingARunningCheckEmitsNothing) {
  LoopbackServer server;
  server.silent();
  bool anything = false;
  {
    UpdateCheck check(server.url());
    QObject::connect(&check, &UpdateCheck::finished, [&] { anything = true; });
    QObject::connect(&check, &UpdateCheck::updateAvailable, [&](int) { anything = true; });
    check.start();
    ASSERT_TRUE(test::waitUntil([&] { return server.requests() == 1; }));
  }
  test::waitUntil([] { return false; }, 50ms);
  EXPECT_FALSE(anything);
}

TEST(UpdateCheck, StartsOnlyOnce) {
  LoopbackServer server;
  server.answer(200, "253");
  UpdateCheck check(server.url());
  int updates = 0, finishes = 0;
  QObject::connect(&check, &UpdateCheck::updateAvailable, [&](int) { ++updates; });
  QObject::connect(&check, &UpdateCheck::finished, [&] { ++finishes; });
  check.start();
  check.start();
  ASSERT_TRUE(test::waitUntil([&] { return finishes > 0; }));
  check.start();
  test::waitUntil([] { return false; }, 50ms);
  EXPECT_EQ(updates, 1);
  EXPECT_EQ(finishes, 1);
  EXPECT_EQ(server.requests(), 1);
  EXPECT_FALSE(check.isRunning());
}

}  // namespace
}  // namespace tessaline
