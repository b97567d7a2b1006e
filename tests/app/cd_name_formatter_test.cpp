// The volume-name field's rule, for what the window's field cannot be made
// to send: a caret outside the text, characters beyond the basic plane.
// Typing, deleting and pasting through the field are tested in tests/gui.

#include <gtest/gtest.h>

#include "app/cd_name_formatter.h"

namespace tessaline {
namespace {

TEST(CDNameFormatter, JudgesWhatWasTypedUpToTheCaretAndWholeNames) {
  const CDNameFormatter f;
  const struct {
    QString text;
    int caret;
    bool valid;
  } cases[] = {
      {QStringLiteral("Backup_-.+ Z0"), 13, true},
      {QString(16, QLatin1Char('a')), 16, true},
      {QString(17, QLatin1Char('a')), 17, false},
      {QString(17, QLatin1Char('a')), 1, false},  // the length limit holds wherever the caret is
      {QStringLiteral("Ba/ckup"), 3, false},
      {QStringLiteral("Ba\u00e9ckup"), 3, false},
      {QStringLiteral("Ba\tckup"), 3, false},
      {QStringLiteral("/ckup"), 0, true},  // a deletion at the start: nothing was typed
      {QString(), 0, true},
      {QStringLiteral("Ba") + QString::fromUtf8("\xF0\x9F\x98\x80"), 4, false},  // not read in halves
      {QStringLiteral("abc"), 4, false},
      {QStringLiteral("abc"), -1, false},
      {QStringLiteral("a"), 1000, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(f.isPartialStringValid(c.text, c.caret), c.valid) << c.text.toStdString() << " at " << c.caret;
  int allowed = 0;
  for (int u = 0; u < 0x3000; ++u) allowed += CDNameFormatter::isAllowedCharacter(QChar(static_cast<char16_t>(u)));
  EXPECT_EQ(allowed, 67);  // letters, digits and five marks
  EXPECT_TRUE(CDNameFormatter::isAcceptableName(QStringLiteral("ABCDEFGHIJKLMNOP")));
  EXPECT_FALSE(CDNameFormatter::isAcceptableName(QStringLiteral("ABCDEFGHIJKLMNOPQ")));
  EXPECT_FALSE(CDNameFormatter::isAcceptableName(QStringLiteral("a/b")));  // a paste judged whole
  EXPECT_EQ(f.stringForObjectValue(QStringLiteral(" ")), QStringLiteral(" "));  // a stored space is a value
}

}  // namespace
}  // namespace tessaline
