#include "cli/terminal_text.h"

#include <cstdio>

namespace tessaline::cli {

QString printable(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0)) {
      switch (u) {
        case '\n': out += QStringLiteral("\\n"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        default: out += QStringLiteral("\\x%1").arg(static_cast<unsigned>(u), 2, 16, QLatin1Char('0'));
      }
      continue;
    }
    out += c;
  }
  return out;
}

void printError(const QString& message) {
  std::fprintf(stderr, "tessaline-cli: %s\n", printable(message).toLocal8Bit().constData());
}

}  // namespace tessaline::cli
