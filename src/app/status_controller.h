#pragma once
// Holds the disc status record and tells when it is replaced.

#include <QObject>

#include "common/records.h"

namespace tessaline {

class StatusController : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  const DiscStatusRecord& content() const { return content_; }
  void setContent(DiscStatusRecord record) {
    content_ = std::move(record);
    Q_EMIT contentChanged();
  }

 Q_SIGNALS:
  void contentChanged();

 private:
  DiscStatusRecord content_;
};

}  // namespace tessaline
