#pragma once
// The once-per-launch check for a newer release. The version endpoint answers
// a short text that begins with the newest release's number. The fetch runs
// on the event loop (Qt Network) and never blocks it; its finding arrives as
// signals on the thread that owns the check. Every failure is silent.

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;
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

class UpdateCheck : public QObject {
  Q_OBJECT
 public:
  static constexpr int kOwnRelease = 252;
  // The whole transfer (connecting, headers and body) must end within this.
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};
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

  // Starts the fetch and returns at once. Only the first call does anything.
  // Only http and https endpoints are fetched; any other ends as a failure.
  void start();
  bool isRunning() const { return started_ && !done_; }

  static bool isNewerRelease(int release) { return release > kOwnRelease; }

 Q_SIGNALS:
  // The endpoint names a release newer than this one. Emitted at most once,
  // before finished().
  void updateAvailable(int newestRelease);
  // The check is over, whatever its outcome. Emitted exactly once after
  // start(), never from within start() itself.
  void finished();

 private:
  void onMetaDataChanged();
  void onReadyRead();
  void onReplyFinished();
  void abandon();
  void conclude(int newestRelease);

  QUrl endpoint_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  qint64 maxBodyBytes_ = kDefaultMaxBodyBytes;
  QNetworkAccessManager* manager_ = nullptr;
  QPointer<QNetworkReply> reply_;
  QTimer* deadline_ = nullptr;
  QByteArray body_;
  bool started_ = false;
  bool done_ = false;
  bool failed_ = false;
};

}  // namespace tessaline
