#include "app/records.h"

#include <QStringDecoder>

namespace tessaline {

QString displayName(const std::string& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  if (!decoder.hasError()) return decoded;
  // Not UTF-8: keep the valid runs and show each stray byte as \xNN.
  QString out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len > 0 && i + len <= bytes.size()) {
      QStringDecoder one(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
      QString piece = one.decode(QByteArrayView(bytes.data() + i, static_cast<qsizetype>(len)));
      if (!one.hasError()) {
        out += piece;
        i += len;
        continue;
      }
    }
    out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    ++i;
  }
  return out;
}

QString displayPath(const std::filesystem::path& path) { return displayName(path.native()); }

std::string lastPathComponent(const std::filesystem::path& path) {
  std::string s = path.native();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  const auto slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

}  // namespace tessaline
