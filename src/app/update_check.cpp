#include "app/update_check.h"

#include <QList>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace tessaline {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

QUrl configuredUrl(const char* variable, const char* built) {
  const QString fromEnvironment = qEnvironmentVariable(variable);
  if (!fromEnvironment.isEmpty()) return QUrl(fromEnvironment);
  return QUrl(QString::fromUtf8(built));
}

}  // namespace

int intValue(QByteArrayView text) {
  qsizetype i = 0;
  const qsizetype n = text.size();
  if (text.startsWith(QByteArrayView("\xEF\xBB\xBF"))) i = 3;
  while (i < n && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulated as a negative number so that INT_MIN itself fits.
  long long value = 0;
  bool clamped = false;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (clamped) continue;
    value = value * 10 - (text[i] - '0');
    if (value < static_cast<long long>(INT_MIN)) clamped = true;
  }
  if (negative) return clamped ? INT_MIN : static_cast<int>(value);
  if (clamped || value < -static_cast<long long>(INT_MAX)) return INT_MAX;
  return static_cast<int>(-value);
}

QUrl updateEndpoint() { return configuredUrl("TESSALINE_UPDATE_URL", TESSALINE_UPDATE_URL); }

QUrl vendorWebsite() { return configuredUrl("TESSALINE_WEBSITE_URL", TESSALINE_WEBSITE_URL); }

std::optional<HttpResponseHead> parseResponseHead(QByteArrayView head) {
  const QList<QByteArray> lines = head.toByteArray().split('\n');
  if (lines.isEmpty()) return std::nullopt;
  // "HTTP/1.1 200 OK"
  const QByteArray statusLine = lines.front().trimmed();
  if (!statusLine.startsWith("HTTP/1.") || statusLine.size() < 12 || statusLine[8] != ' ') return std::nullopt;
  bool ok = false;
  HttpResponseHead parsed;
  parsed.status = statusLine.mid(9, 3).toInt(&ok);
  // Three characters: a number of more than three digits cannot come out.
  if (!ok || parsed.status < 100 || (statusLine.size() > 12 && statusLine[12] != ' '))
    return std::nullopt;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const QByteArray line = lines[i].trimmed();
    if (line.isEmpty()) continue;
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) return std::nullopt;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (name == "content-length") {
      const qint64 length = value.toLongLong(&ok);
      if (!ok || length < 0 || (parsed.contentLength && *parsed.contentLength != length)) return std::nullopt;
      parsed.contentLength = length;
    } else if (name == "transfer-encoding") {
      parsed.chunked = value.toLower().contains("chunked");
    } else if (name == "location") {
      parsed.location = value;
    }
  }
  return parsed;
}

std::optional<QByteArray> decodeChunkedBody(QByteArrayView body) {
  QByteArray out;
  qsizetype at = 0;
  while (true) {
    const qsizetype lineEnd = body.indexOf(QByteArrayView("\r\n"), at);
    if (lineEnd < 0) return std::nullopt;
    QByteArray size = body.sliced(at, lineEnd - at).toByteArray();
    if (const qsizetype ext = size.indexOf(';'); ext >= 0) size.truncate(ext);
    bool ok = false;
    const qint64 length = size.trimmed().toLongLong(&ok, 16);
    if (!ok || length < 0 || length > body.size()) return std::nullopt;
    at = lineEnd + 2;
    if (length == 0) return out;
    if (at + length + 2 > body.size() || body.sliced(at + length, 2) != QByteArrayView("\r\n")) return std::nullopt;
    out.append(body.sliced(at, length));
    at += length + 2;
  }
}

UpdateCheck::UpdateCheck(QUrl endpoint, QObject* parent) : QObject(parent), endpoint_(std::move(endpoint)) {}

UpdateCheck::~UpdateCheck() {
  // Quitting while the fetch runs: drop it without telling anybody.
  done_ = true;
  dropSocket();
}

void UpdateCheck::setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

void UpdateCheck::setMaxBodyBytes(qint64 bytes) { maxBodyBytes_ = bytes < 0 ? 0 : bytes; }

void UpdateCheck::setMaxHeaderBytes(qint64 bytes) { maxHeaderBytes_ = bytes < 0 ? 0 : bytes; }

void UpdateCheck::start() {
  if (started_) return;
  started_ = true;
  deadline_ = new QTimer(this);
  deadline_->setSingleShot(true);
  // At the deadline the connection goes, whatever it is doing.
  connect(deadline_, &QTimer::timeout, this, [this] { conclude(std::nullopt); });
  deadline_->start(timeout_);
  if (!request(endpoint_)) {
    // Ends on the next turn of the loop, as a fetch would.
    QTimer::singleShot(0, this, [this] { conclude(std::nullopt); });
  }
}

bool UpdateCheck::request(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  const bool tls = scheme == QLatin1String("https");
  if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && !tls)) return false;
  if (tls && !QSslSocket::supportsSsl()) return false;
  dropSocket();
  current_ = url;
  head_.clear();
  parsed_.reset();
  body_.clear();

  QTcpSocket* socket = tls ? new QSslSocket(this) : new QTcpSocket(this);
  socket_ = socket;
  // Qt reads from the connection only as far as this buffer allows.
  socket->setReadBufferSize(std::min<qint64>(maxHeaderBytes_, 1 << 20) + std::min<qint64>(maxBodyBytes_, 1 << 20) + 1);
  const QByteArray target = url.path(QUrl::FullyEncoded).isEmpty() ? QByteArray("/") : url.path(QUrl::FullyEncoded).toLatin1();
  const QByteArray query = url.hasQuery() ? "?" + url.query(QUrl::FullyEncoded).toLatin1() : QByteArray();
  const QByteArray host = url.host(QUrl::FullyEncoded).toLatin1() + (url.port() > 0 ? ":" + QByteArray::number(url.port()) : QByteArray());
  // HTTP/1.0: the body ends with the connection or its length, never in chunks.
  const QByteArray message = "GET " + target + query + " HTTP/1.0\r\nHost: " + host +
                             "\r\nUser-Agent: Tessaline\r\nAccept: text/plain\r\nAccept-Encoding: identity\r\n"
                             "Connection: close\r\n\r\n";
  auto send = [socket, message] { socket->write(message); };
  connect(socket, &QTcpSocket::readyRead, this, &UpdateCheck::onReadyRead);
  connect(socket, &QTcpSocket::disconnected, this, &UpdateCheck::onClosed);
  connect(socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
    if (error == QAbstractSocket::RemoteHostClosedError) onClosed();
    else conclude(std::nullopt);
  });
  if (tls) {
    auto* ssl = static_cast<QSslSocket*>(socket);
    connect(ssl, &QSslSocket::encrypted, this, send);
    ssl->connectToHostEncrypted(url.host(), static_cast<quint16>(url.port(443)));
  } else {
    connect(socket, &QTcpSocket::connected, this, send);
    socket->connectToHost(url.host(), static_cast<quint16>(url.port(80)));
  }
  return true;
}

void UpdateCheck::onReadyRead() {
  QTcpSocket* socket = socket_.data();
  if (socket == nullptr || done_) return;
  if (!parsed_) {
    // Read only what the head may still hold, and one line ending more.
    head_.append(socket->read(std::min(socket->bytesAvailable(), maxHeaderBytes_ + 4 - head_.size())));
    qsizetype end = head_.indexOf("\r\n\r\n");
    qsizetype skip = 4;
    if (end < 0) {
      end = head_.indexOf("\n\n");
      skip = 2;
    }
    if (end < 0) {
      if (head_.size() > maxHeaderBytes_) conclude(std::nullopt);
      return;
    }
    if (end > maxHeaderBytes_) return conclude(std::nullopt);
    parsed_ = parseResponseHead(QByteArrayView(head_).first(end));
    if (!parsed_) return conclude(std::nullopt);
    body_ = head_.mid(end + skip);
    head_.clear();
    // A redirection is followed at once; any other status but success ends the check.
    if (parsed_->status / 100 == 3) return onResponse();
    if (parsed_->status / 100 != 2) return conclude(std::nullopt);
    if (parsed_->contentLength && *parsed_->contentLength > maxBodyBytes_) return conclude(std::nullopt);
  }
  body_.append(socket->read(std::min(socket->bytesAvailable(), maxBodyBytes_ + 1 - body_.size())));
  if (body_.size() > maxBodyBytes_) return conclude(std::nullopt);
  if (parsed_->contentLength && body_.size() >= *parsed_->contentLength) onResponse();
}

void UpdateCheck::onClosed() {
  if (done_) return;
  if (QTcpSocket* socket = socket_.data(); socket != nullptr && socket->bytesAvailable() > 0) onReadyRead();
  else if (socket == nullptr) return;
  if (done_) return;
  // Closing ends a body without a length; anything else it cuts short.
  if (parsed_ && (!parsed_->contentLength || body_.size() >= *parsed_->contentLength)) onResponse();
  else conclude(std::nullopt);
}

void UpdateCheck::onResponse() {
  if (done_ || !parsed_) return;
  const HttpResponseHead head = *parsed_;
  if (head.status / 100 == 3 && !head.location.isEmpty() && redirections_ < kMaxRedirections) {
    ++redirections_;
    const QUrl next = current_.resolved(QUrl::fromEncoded(head.location));
    if (!request(next)) conclude(std::nullopt);
    return;
  }
  if (head.status / 100 != 2) return conclude(std::nullopt);
  QByteArray body = body_;
  if (head.contentLength) body.truncate(*head.contentLength);
  if (head.chunked) {
    auto decoded = decodeChunkedBody(body);
    if (!decoded) return conclude(std::nullopt);
    body = *decoded;
  }
  conclude(intValue(body));
}

void UpdateCheck::dropSocket() {
  if (QTcpSocket* socket = socket_.data()) {
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
  }
  socket_ = nullptr;
}

void UpdateCheck::conclude(std::optional<int> newestRelease) {
  if (done_) return;
  done_ = true;
  answer_ = newestRelease;
  if (deadline_) deadline_->stop();
  dropSocket();
  head_.clear();
  body_.clear();
  body_.squeeze();
  if (newestRelease && isNewerRelease(*newestRelease)) Q_EMIT updateAvailable(*newestRelease);
  Q_EMIT finished();
}

}  // namespace tessaline
