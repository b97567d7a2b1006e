#pragma once
// Keeps the volume name short and to a small set of characters while the user
// types, and supplies a default when the field is empty. Holds no state and
// needs no widgets: the desktop application wraps it in a validator.

#include <QString>

#include <optional>
#include <string_view>

namespace tessaline {

class CDNameFormatter {
 public:
  // The characters a volume name may be typed with (67 of them).
  static constexpr std::string_view kAllowedCharacters =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890_ -.+";
  // Longest name, in characters (UTF-16 code units).
  static constexpr int kMaxLength = 16;
  // Shown when the value is empty or missing.
  static constexpr std::string_view kDefaultName = "my CDROM";
  // Stored for an empty text.
  static constexpr std::string_view kEmptyValue = " ";

  static bool isAllowedCharacter(QChar c);

  // Whether an edit that leaves `partialString` with the caret at
  // `proposedCaret` is allowed. Only the character just before the caret is
  // judged: it is the one just typed. With the caret at the very start of a
  // non-empty text nothing was typed (only a deletion leaves it there), so the
  // edit is allowed. A caret outside the text is refused.
  bool isPartialStringValid(const QString& partialString, int proposedCaret) const;

  // Whether a whole name could stand in the field: at most 16 characters,
  // every one of them allowed (a name given at once, not typed).
  static bool isAcceptableName(const QString& name);

  // The text to display for a value.
  QString stringForObjectValue(const std::optional<QString>& value) const;

  // The value for a text; never fails.
  QString getObjectValue(const QString& text) const;
};

}  // namespace tessaline
