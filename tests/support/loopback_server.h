#pragma once
// An HTTP endpoint on 127.0.0.1 for the update check, as good or as bad as a test needs.

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>

namespace tessaline::test {

// Each connection gets `reply` once its request is in, then `fillBytes` of
// `fill` (endless when negative) as fast as the client takes them, then the
// connection closes. Without a reply it reads the request and says nothing.
class LoopbackServer : public QObject {
 public:
  explicit LoopbackServer(QByteArray answer = {}) : reply(std::move(answer)) {
    EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* s = server_.nextPendingConnection()) {
        ++connections;
        s->setParent(this);
        connect(s, &QTcpSocket::readyRead, this, [this, s, request = std::make_shared<QByteArray>()] {
          const bool answered = request->contains("\r\n\r\n");
          request->append(s->readAll());
          if (!answered && request->contains("\r\n\r\n") && !reply.isEmpty()) respond(s);
        });
      }
    });
  }
  QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/version.txt").arg(server_.serverPort())); }
  QByteArray reply, fill = " ";
  qint64 fillBytes = 0;
  int connections = 0;
  void respond(QTcpSocket* s) {
    s->write(reply);
    const QByteArray chunk = fill.repeated(64 * 1024 / fill.size());
    auto sent = std::make_shared<qint64>(0);
    auto more = [s, sent, chunk, total = fillBytes] {
      if (s->bytesToWrite() > 0 || s->state() != QAbstractSocket::ConnectedState) return;
      if (total >= 0 && *sent >= total) return s->disconnectFromHost();
      const qint64 n = total < 0 ? chunk.size() : std::min<qint64>(chunk.size(), total - *sent);
      s->write(chunk.constData(), n);
      *sent += n;
    };
    connect(s, &QTcpSocket::bytesWritten, this, more);
    more();
  }
  QTcpServer server_;
};

}  // namespace tessaline::test
