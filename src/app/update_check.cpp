#include "app/update_check.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <climits>

namespace tessaline {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

QUrl configuredUrl(const char* variable, const char* built) {
  const QString fromEnvironment = qEnvironmentVariable(variable);
  if (!fromEnvironment.isEmpty()) return QUrl(fromEnvironment);
  return QUrl(QString::fromUtf8(built));
}

bool isSuccessStatus(const QVariant& status) {
  bool ok = false;
  const int code = status.toInt(&ok);
  return ok && code >= 200 && code < 300;
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

UpdateCheck::UpdateCheck(QUrl endpoint, QObject* parent) : QObject(parent), endpoint_(std::move(endpoint)) {}

UpdateCheck::~UpdateCheck() {
  // Quitting while the fetch runs: drop it without telling anybody.
  done_ = true;
  if (QNetworkReply* reply = reply_.data()) {
    reply->disconnect(this);
    reply->abort();
  }
}

void UpdateCheck::setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

void UpdateCheck::setMaxBodyBytes(qint64 bytes) { maxBodyBytes_ = bytes < 0 ? 0 : bytes; }

void UpdateCheck::start() {
  if (started_) return;
  started_ = true;

  const QString scheme = endpoint_.scheme().toLower();
  if (!endpoint_.isValid() || endpoint_.host().isEmpty() ||
      (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
    // Ends on the next turn of the loop, as a fetch would.
    QTimer::singleShot(0, this, [this] { conclude(0); });
    return;
  }

  manager_ = new QNetworkAccessManager(this);
  QNetworkRequest request(endpoint_);
  // Without compression the body counted against the cap is what the server
  // sent; nothing is inflated behind our back.
  request.setRawHeader("Accept-Encoding", "identity");
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  request.setTransferTimeout(static_cast<int>(timeout_.count()));

  deadline_ = new QTimer(this);
  deadline_->setSingleShot(true);
  connect(deadline_, &QTimer::timeout, this, &UpdateCheck::abandon);
  deadline_->start(timeout_);

  reply_ = manager_->get(request);
  // Qt stops reading from the socket once this much waits unread.
  reply_->setReadBufferSize(maxBodyBytes_ + 1);
  connect(reply_, &QNetworkReply::metaDataChanged, this, &UpdateCheck::onMetaDataChanged);
  connect(reply_, &QNetworkReply::readyRead, this, &UpdateCheck::onReadyRead);
  connect(reply_, &QNetworkReply::finished, this, &UpdateCheck::onReplyFinished);
}

void UpdateCheck::onMetaDataChanged() {
  if (!reply_ || done_) return;
  const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  // A redirection is followed by the manager; anything else but success fails.
  bool ok = false;
  const int code = status.toInt(&ok);
  if (ok && code >= 300 && code < 400) return;
  if (ok && !isSuccessStatus(status)) {
    // Qt reports the status as the reply's error next; aborting now would
    // report a second one. Dropping the reply ends the transfer.
    failed_ = true;
    conclude(0);
    return;
  }
  const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
  if (length.isValid() && length.toLongLong() > maxBodyBytes_) abandon();
}

void UpdateCheck::onReadyRead() {
  if (!reply_ || done_ || failed_) return;
  body_.append(reply_->read(maxBodyBytes_ + 1 - body_.size()));
  if (body_.size() > maxBodyBytes_) abandon();
}

void UpdateCheck::abandon() {
  failed_ = true;
  if (QNetworkReply* reply = reply_.data(); reply && reply->isRunning()) reply->abort();
  // abort() normally concludes through finished(); this covers a reply that
  // had nothing left to signal.
  conclude(0);
}

void UpdateCheck::onReplyFinished() {
  if (!reply_ || done_) return;
  int release = 0;
  if (!failed_ && reply_->error() == QNetworkReply::NoError &&
      isSuccessStatus(reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute))) {
    body_.append(reply_->read(maxBodyBytes_ + 1 - body_.size()));
    if (body_.size() <= maxBodyBytes_) release = intValue(body_);
  }
  conclude(release);
}

void UpdateCheck::conclude(int newestRelease) {
  if (done_) return;
  done_ = true;
  if (deadline_) deadline_->stop();
  if (QNetworkReply* reply = reply_.data()) {
    reply->disconnect(this);
    reply->deleteLater();
    reply_ = nullptr;
  }
  body_.clear();
  body_.squeeze();
  if (isNewerRelease(newestRelease)) Q_EMIT updateAvailable(newestRelease);
  Q_EMIT finished();
}

}  // namespace tessaline
