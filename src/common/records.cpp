#include "common/records.h"

#include "common/utf8.h"

namespace tessaline {

QString displayName(const std::string& bytes) {
  if (allCodePoints(bytes, [](char32_t) { return true; }))
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  // Valid runs as they are; each stray byte as \xNN, so it is readable and
  // two names that differ only there still look different.
  QString out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp = 0;
    const std::size_t len = decodeUtf8(bytes, i, cp);
    if (len == 0) {
      out += QStringLiteral("\\x%1").arg(static_cast<unsigned char>(bytes[i]), 2, 16, QLatin1Char('0'));
      ++i;
      continue;
    }
    out += QString::fromUcs4(&cp, 1);
    i += len;
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
