#include "app/string_table.h"

#include <QFile>

namespace tessaline {
namespace {

class Scanner {
 public:
  explicit Scanner(const QString& text) : s_(text) {}

  void skipSpaceAndComments() {
    for (;;) {
      while (i_ < s_.size() && s_[i_].isSpace()) ++i_;
      if (s_.mid(i_, 2) == QLatin1String("/*")) {
        const auto end = s_.indexOf(QLatin1String("*/"), i_ + 2);
        i_ = end < 0 ? s_.size() : end + 2;
      } else if (s_.mid(i_, 2) == QLatin1String("//")) {
        const auto end = s_.indexOf(QLatin1Char('\n'), i_);
        i_ = end < 0 ? s_.size() : end + 1;
      } else {
        return;
      }
    }
  }
  bool atEnd() const { return i_ >= s_.size(); }
  bool take(QChar c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  std::optional<QString> quoted() {
    if (!take(QLatin1Char('"'))) return std::nullopt;
    QString out;
    while (i_ < s_.size()) {
      const QChar c = s_[i_++];
      if (c == QLatin1Char('"')) return out;
      if (c != QLatin1Char('\\')) {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return std::nullopt;
      const QChar e = s_[i_++];
      if (e == QLatin1Char('n')) out += QLatin1Char('\n');
      else if (e == QLatin1Char('t')) out += QLatin1Char('\t');
      else out += e;
    }
    return std::nullopt;
  }

 private:
  const QString& s_;
  qsizetype i_ = 0;
};

}  // namespace

std::optional<QHash<QString, QString>> parseStringTable(const QByteArray& text) {
  const QString s = QString::fromUtf8(text);
  Scanner in(s);
  QHash<QString, QString> table;
  for (;;) {
    in.skipSpaceAndComments();
    if (in.atEnd()) return table;
    auto key = in.quoted();
    in.skipSpaceAndComments();
    if (!key || !in.take(QLatin1Char('='))) return std::nullopt;
    in.skipSpaceAndComments();
    auto value = in.quoted();
    in.skipSpaceAndComments();
    if (!value || !in.take(QLatin1Char(';'))) return std::nullopt;
    table.insert(*key, *value);
  }
}

StringTable StringTable::builtIn() {
  QFile file(QStringLiteral(":/tessaline/strings/en.strings"));
  if (!file.open(QIODevice::ReadOnly)) return StringTable({});
  return StringTable(parseStringTable(file.readAll()).value_or(QHash<QString, QString>{}));
}

}  // namespace tessaline
