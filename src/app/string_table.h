#pragma once
// The localised texts, keyed by localisation key. A missing key gives the
// empty text.

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>

namespace tessaline {

// Parses a strings table ("key" = "value"; lines, /* */ and // comments,
// \" \\ \n \t escapes). Answers nothing when the text is malformed.
std::optional<QHash<QString, QString>> parseStringTable(const QByteArray& text);

class StringTable {
 public:
  // The application's own table from the resources.
  static StringTable builtIn();
  explicit StringTable(QHash<QString, QString> entries) : entries_(std::move(entries)) {}

  QString localized(const QString& key) const { return entries_.value(key); }
  QString localized(const char* key) const { return localized(QString::fromUtf8(key)); }
  bool contains(const QString& key) const { return entries_.contains(key); }

 private:
  QHash<QString, QString> entries_;
};

}  // namespace tessaline
