#pragma once
// The once-per-launch check for a newer release. The version endpoint answers
// a short text that begins with the newest release's number. The fetch is a
// plain HTTP/1.0 GET over a socket of its own (TLS for https), run on the
// event loop and never blocking it, so that everything it reads is counted:
// header and body bytes are capped and the whole check ends at its deadline,
// connection closed, whatever the server does. Its finding arrives as signals
// on the thread that owns the check. Every failure is silent.

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <optional>

class QTcpSocket;
class QTimer;

namespace tessaline {

// The integer a text begins with: leading white space (and a UTF-8 byte order
// mark) skipped, an optional sign, then decimal digits up to the first other
// character. A text that does not begin that way reads as 0; a number beyond
// the range of int reads as INT_MAX or INT_MIN.
int intValue(QByteArrayView text);

// The version endpoint and the vendor web page: the build's configuration,
// unless the environment variable of the same name (TESSALINE_UPDATE_URL,
// TESSALINE_WEBSITE_URL) is set and not empty.
QUrl updateEndpoint();
QUrl vendorWebsite();

// The status line and header fields of an HTTP response, as far as the check
// needs them.
struct HttpResponseHead {
  int status = 0;
  std::optional<qint64> contentLength;
  bool chunked = false;
  QByteArray location;
};

// Parses a response's head (the status line and header lines, without the
// empty line that ends them); no value when it is not one.
std::optional<HttpResponseHead> parseResponseHead(QByteArrayView head);
// Decodes a whole chunked body; no value when it is damaged or incomplete.
std::optional<QByteArray> decodeChunkedBody(QByteArrayView body);

class UpdateCheck : public QObject {
  Q_OBJECT
 public:
  static constexpr int kOwnRelease = 252;
  // The whole check (connecting, redirections, headers and body) ends within this.
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};
  // A version text needs a few header lines; a server that sends more than
  // this is not the endpoint (or means harm), and the check fails.
  static constexpr qint64 kDefaultMaxHeaderBytes = 16 * 1024;
  static constexpr int kMaxRedirections = 5;
  // The endpoint serves a few bytes. A larger body is not the version text
  // (a portal page, a wrong address): the transfer is abandoned as soon as
  // the body is known to be larger, and the check ends as a failed one.
  static constexpr qint64 kDefaultMaxBodyBytes = 64 * 1024;

  explicit UpdateCheck(QUrl endpoint, QObject* parent = nullptr);
  ~UpdateCheck() override;
  UpdateCheck(const UpdateCheck&) = delete;
  UpdateCheck& operator=(const UpdateCheck&) = delete;

  // Both take effect for a check not yet started.
  void setTimeout(std::chrono::milliseconds timeout);
  void setMaxBodyBytes(qint64 bytes);
  void setMaxHeaderBytes(qint64 bytes);

  // Starts the fetch and returns at once. Only the first call does anything.
  // Only http and https endpoints are fetched; any other ends as a failure.
  void start();
  bool isRunning() const { return started_ && !done_; }
  // After finished(): the release number the endpoint answered (0 for a text
  // that is not a number), or no value when no answer came (no network, an
  // error status, a body too large, the deadline).
  std::optional<int> answer() const { return answer_; }

  static bool isNewerRelease(int release) { return release > kOwnRelease; }

 Q_SIGNALS:
  // The endpoint names a release newer than this one. Emitted at most once,
  // before finished().
  void updateAvailable(int newestRelease);
  // The check is over, whatever its outcome. Emitted exactly once after
  // start(), never from within start() itself.
  void finished();

 private:
  // Opens a connection for the address and sends the request; false when
  // the address is not one to fetch.
  bool request(const QUrl& url);
  void onReadyRead();
  void onClosed();
  // The response is complete: follows a redirection or reads the number.
  void onResponse();
  void dropSocket();
  void conclude(std::optional<int> newestRelease);

  QUrl endpoint_;
  QUrl current_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  qint64 maxBodyBytes_ = kDefaultMaxBodyBytes;
  qint64 maxHeaderBytes_ = kDefaultMaxHeaderBytes;
  QPointer<QTcpSocket> socket_;
  QTimer* deadline_ = nullptr;
  QByteArray head_;
  std::optional<HttpResponseHead> parsed_;
  QByteArray body_;
  int redirections_ = 0;
  bool started_ = false;
  bool done_ = false;
  std::optional<int> answer_;
};

}  // namespace tessaline
