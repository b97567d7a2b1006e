#include <gtest/gtest.h>

#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <vector>

#include "app/update_check.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using namespace std::chrono_literals;

TEST(IntValue, ReadsTheLeadingDecimalNumber) {
  EXPECT_EQ(intValue("253"), 253);
  EXPECT_EQ(intValue("  \t\n 253\n"), 253);
  EXPECT_EQ(intValue("300 words"), 300);
  EXPECT_EQ(intValue("300.9"), 300);
  EXPECT_EQ(intValue("+7"), 7);
  EXPECT_EQ(intValue("-5"), -5);
  EXPECT_EQ(intValue("\xEF\xBB\xBF" "254"), 254);
  EXPECT_EQ(intValue(""), 0);
  EXPECT_EQ(intValue("abc"), 0);
  EXPECT_EQ(intValue("v253"), 0);
  EXPECT_EQ(intValue("- 5"), 0);
  EXPECT_EQ(intValue("+-5"), 0);
  EXPECT_EQ(intValue(QByteArrayView("\0" "253", 4)), 0);
}

TEST(IntValue, ClampsOverflow) {
  EXPECT_EQ(intValue("2147483647"), INT_MAX);
  EXPECT_EQ(intValue("2147483648"), INT_MAX);
  EXPECT_EQ(intValue("99999999999999999999999999"), INT_MAX);
  EXPECT_EQ(intValue("-2147483648"), INT_MIN);
  EXPECT_EQ(intValue("-99999999999999999999999999"), INT_MIN);
  EXPECT_EQ(intValue("00000000000000000000000253"), 253);
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
  enum class Mode { Answer, Silent, Stream };

  LoopbackServer() {
    EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
  }

  QUrl url() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1/version.txt").arg(server_.serverPort()));
  }

  // A complete response; without a length the body ends when the server closes.
  void answer(int status, QByteArray body, bool withLength = true, QByteArray extraHeaders = {}) {
    mode_ = Mode::Answer;
    status_ = status;
    body_ = std::move(body);
    withLength_ = withLength;
    extraHeaders_ = std::move(extraHeaders);
  }
  // Reads the request and never answers.
  void silent() { mode_ = Mode::Silent; }
  // A 200 response of `total` bytes that begin with `head`, written as the
  // client takes it; announced in the header or not.
  void stream(QByteArray head, qint64 total, bool withLength) {
    mode_ = Mode::Stream;
    body_ = std::move(head);
    streamTotal_ = total;
    withLength_ = withLength;
  }

  int requests() const { return requests_; }

 private:
  void accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
      socket->setParent(this);
      auto request = std::make_shared<QByteArray>();
      QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
        if (request->contains("\r\n\r\n")) {
          socket->readAll();
          return;
        }
        request->append(socket->readAll());
        if (request->contains("\r\n\r\n")) respond(socket);
      });
    }
  }

  static QByteArray reason(int status) {
    switch (status) {
      case 200: return "OK";
      case 302: return "Found";
      case 404: return "Not Found";
      default: return "Error";
    }
  }

  void respond(QTcpSocket* socket) {
    ++requests_;
    if (mode_ == Mode::Silent) return;
    const int status = mode_ == Mode::Stream ? 200 : status_;
    const qint64 length = mode_ == Mode::Stream ? streamTotal_ : body_.size();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) +
                      "\r\nContent-Type: text/plain\r\nConnection: close\r\n";
    if (withLength_) head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    if (mode_ == Mode::Answer) head += extraHeaders_;
    head += "\r\n";
    socket->write(head);
    if (mode_ == Mode::Answer) {
      socket->write(body_);
      socket->disconnectFromHost();
      return;
    }
    // Stream: the head of the body, then filler chunk by chunk as the client reads.
    socket->write(body_);
    auto sent = std::make_shared<qint64>(body_.size());
    const QByteArray chunk(64 * 1024, ' ');
    auto more = [socket, sent, chunk, total = streamTotal_] {
      if (socket->bytesToWrite() > 0 || socket->state() != QAbstractSocket::ConnectedState) return;
      if (*sent >= total) {
        socket->disconnectFromHost();
        return;
      }
      const qint64 n = std::min<qint64>(chunk.size(), total - *sent);
      socket->write(chunk.constData(), n);
      *sent += n;
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, this, more);
  }

  QTcpServer server_;
  Mode mode_ = Mode::Answer;
  int status_ = 200;
  QByteArray body_;
  bool withLength_ = true;
  QByteArray extraHeaders_;
  qint64 streamTotal_ = 0;
  int requests_ = 0;
};

struct Outcome {
  bool finished = false;
  int finishedCount = 0;
  std::vector<int> updates;
};

// Runs one check to its end. A check that never finishes fails the test.
Outcome runCheck(const QUrl& url, std::chrono::milliseconds timeout = 5s, qint64 maxBody = -1) {
  Outcome outcome;
  UpdateCheck check(url);
  check.setTimeout(timeout);
  if (maxBody >= 0) check.setMaxBodyBytes(maxBody);
  QObject::connect(&check, &UpdateCheck::updateAvailable, [&](int n) {
    EXPECT_FALSE(outcome.finished) << "updateAvailable after finished";
    outcome.updates.push_back(n);
  });
  QObject::connect(&check, &UpdateCheck::finished, [&] {
    outcome.finished = true;
    ++outcome.finishedCount;
  });
  check.start();
  EXPECT_FALSE(outcome.finished) << "start() must return before the check ends";
  EXPECT_TRUE(test::waitUntil([&] { return outcome.finished; }, 20s));
  // Nothing more arrives afterwards.
  test::waitUntil([] { return false; }, 50ms);
  EXPECT_EQ(outcome.finishedCount, 1);
  return outcome;
}

TEST(UpdateCheck, OnlyANewerReleaseIsAnnounced) {
  LoopbackServer server;
  struct Case {
    QByteArray body;
    std::optional<int> update;
  };
  const Case cases[] = {
      {"253", 253}, {"253\n", 253}, {"300 words", 300}, {"252", std::nullopt}, {"0", std::nullopt},
      {"-5", std::nullopt}, {"", std::nullopt}, {"abc", std::nullopt}, {"v999", std::nullopt},
  };
  for (const Case& c : cases) {
    server.answer(200, c.body);
    const Outcome outcome = runCheck(server.url());
    if (c.update) {
      EXPECT_EQ(outcome.updates, std::vector<int>{*c.update}) << c.body.constData();
    } else {
      EXPECT_TRUE(outcome.updates.empty()) << c.body.constData();
    }
  }
  EXPECT_EQ(server.requests(), static_cast<int>(std::size(cases)));
}

TEST(UpdateCheck, ABodyEndedByClosingTheConnectionIsRead) {
  LoopbackServer server;
  server.answer(200, "260", /*withLength=*/false);
  EXPECT_EQ(runCheck(server.url()).updates, std::vector<int>{260});
}

TEST(UpdateCheck, AnErrorStatusIsSilentWhateverTheBody) {
  LoopbackServer server;
  for (int status : {404, 500, 302}) {  // 302 without a Location leads nowhere
    server.answer(status, "999");
    EXPECT_TRUE(runCheck(server.url()).updates.empty()) << status;
  }
}

TEST(UpdateCheck, ARedirectionIsFollowed) {
  LoopbackServer target;
  target.answer(200, "261");
  LoopbackServer server;
  server.answer(302, "", true, "Location: " + target.url().toEncoded() + "\r\n");
  EXPECT_EQ(runCheck(server.url()).updates, std::vector<int>{261});
  EXPECT_EQ(target.requests(), 1);
}

TEST(UpdateCheck, AnUnreachableOrUnusableEndpointIsSilent) {
  quint16 closedPort = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    closedPort = probe.serverPort();
  }
  EXPECT_TRUE(runCheck(QUrl(QStringLiteral("http://127.0.0.1:%1/v").arg(closedPort))).updates.empty());
  EXPECT_TRUE(runCheck(QUrl()).updates.empty());
  EXPECT_TRUE(runCheck(QUrl(QStringLiteral("not a url at all"))).updates.empty());
  // Only HTTP is fetched: a local file naming a newer release is not read.
  test::TempDir dir;
  test::writeFile(dir / "version.txt", "999");
  EXPECT_TRUE(runCheck(QUrl::fromLocalFile(QString::fromStdString((dir / "version.txt").string()))).updates.empty());
}

TEST(UpdateCheck, AServerThatNeverAnswersEndsAtTheTimeOut) {
  LoopbackServer server;
  server.silent();
  const Outcome outcome = runCheck(server.url(), 300ms);
  EXPECT_TRUE(outcome.updates.empty());
  EXPECT_EQ(server.requests(), 1);
}

TEST(UpdateCheck, AnOversizedBodyIsAbandonedAndReadsAsNothing) {
  constexpr qint64 kTenMegabytes = 10 * 1000 * 1000;
  LoopbackServer server;
  // Announced in the header: given up on at the header.
  // The time-out is far off: it must be the cap that ends these.
  server.stream("999 ", kTenMegabytes, /*withLength=*/true);
  EXPECT_TRUE(runCheck(server.url(), 10min).updates.empty());
  // Not announced: given up on once more than the cap has arrived.
  server.stream("999 ", kTenMegabytes, /*withLength=*/false);
  EXPECT_TRUE(runCheck(server.url(), 10min).updates.empty());
}

TEST(UpdateCheck, ABodyOfExactlyTheCapIsStillRead) {
  LoopbackServer server;
  for (bool withLength : {true, false}) {
    server.answer(200, QByteArray("253") + QByteArray(13, ' '), withLength);  // 16 bytes
    EXPECT_EQ(runCheck(server.url(), 5s, 16).updates, std::vector<int>{253}) << withLength;
    server.answer(200, QByteArray("253") + QByteArray(14, ' '), withLength);  // 17 bytes
    EXPECT_TRUE(runCheck(server.url(), 5s, 16).updates.empty()) << withLength;
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
  int updates = 0;
  int finishes = 0;
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
