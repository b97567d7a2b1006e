#include "app/cd_name_formatter.h"

namespace tessaline {

static_assert(CDNameFormatter::kAllowedCharacters.size() == 67);

bool CDNameFormatter::isAllowedCharacter(QChar c) {
  const char16_t u = c.unicode();
  if (u > 0x7f) return false;
  return kAllowedCharacters.find(static_cast<char>(u)) != std::string_view::npos;
}

bool CDNameFormatter::isPartialStringValid(const QString& partialString, int proposedCaret) const {
  if (partialString.isEmpty()) return true;
  if (partialString.size() > kMaxLength) return false;
  if (proposedCaret < 0 || proposedCaret > partialString.size()) return false;
  if (proposedCaret == 0) return true;
  return isAllowedCharacter(partialString.at(proposedCaret - 1));
}

QString CDNameFormatter::stringForObjectValue(const std::optional<QString>& value) const {
  if (!value.has_value() || value->isEmpty()) {
    return QString::fromLatin1(kDefaultName.data(), static_cast<qsizetype>(kDefaultName.size()));
  }
  return *value;
}

QString CDNameFormatter::getObjectValue(const QString& text) const {
  if (text.isEmpty()) return QString::fromLatin1(kEmptyValue.data(), static_cast<qsizetype>(kEmptyValue.size()));
  return text;
}

bool CDNameFormatter::isAcceptableName(const QString& name) {
  if (name.size() > kMaxLength) return false;
  for (const QChar c : name)
    if (!isAllowedCharacter(c)) return false;
  return true;
}

}  // namespace tessaline
