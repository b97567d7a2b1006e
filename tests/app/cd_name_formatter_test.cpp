#include <gtest/gtest.h>

#include <QString>

#include <set>

#include "app/cd_name_formatter.h"

namespace tessaline {
namespace {

// Typing c at the end of text, as the field proposes it.
bool typeAtEnd(const CDNameFormatter& f, const QString& text, QChar c) {
  const QString proposed = text + c;
  return f.isPartialStringValid(proposed, static_cast<int>(proposed.size()));
}

TEST(CDNameFormatter, AllowedSetIsExactlyLettersDigitsAndFivePunctuationMarks) {
  const std::set<char> distinct(CDNameFormatter::kAllowedCharacters.begin(),
                                CDNameFormatter::kAllowedCharacters.end());
  EXPECT_EQ(distinct.size(), 67u);
  int allowed = 0;
  for (int u = 0; u < 0x3000; ++u) {
    if (CDNameFormatter::isAllowedCharacter(QChar(static_cast<char16_t>(u)))) ++allowed;
  }
  EXPECT_EQ(allowed, 67);
}

TEST(CDNameFormatter, SixteenthCharacterAcceptedSeventeenthRefused) {
  CDNameFormatter f;
  const QString fifteen(15, QLatin1Char('a'));
  EXPECT_TRUE(typeAtEnd(f, fifteen, QLatin1Char('b')));
  EXPECT_FALSE(typeAtEnd(f, fifteen + QLatin1Char('b'), QLatin1Char('c')));
  // The length limit holds wherever the caret is.
  EXPECT_FALSE(f.isPartialStringValid(QString(17, QLatin1Char('a')), 1));
}

TEST(CDNameFormatter, DisallowedCharacterIsRefusedAnywhere) {
  CDNameFormatter f;
  for (const char* bad : {"/", ":", "\xC3\xA9", "*", "\t"}) {
    const QString c = QString::fromUtf8(bad);
    EXPECT_FALSE(typeAtEnd(f, QStringLiteral("Backup"), c.at(0))) << bad;
    // Typed in the middle: "Ba" + c + "ckup", caret after c.
    EXPECT_FALSE(f.isPartialStringValid(QStringLiteral("Ba") + c + QStringLiteral("ckup"), 3)) << bad;
  }
  for (char good : {' ', '_', '-', '.', '+', 'Z', '0'}) {
    EXPECT_TRUE(typeAtEnd(f, QStringLiteral("Backup"), QLatin1Char(good))) << good;
  }
  // A character outside the Basic Multilingual Plane is refused, not read in halves.
  const QString emoji = QString::fromUtf8("Ba\xF0\x9F\x98\x80");
  EXPECT_FALSE(f.isPartialStringValid(emoji, static_cast<int>(emoji.size())));
}

TEST(CDNameFormatter, DeletingAndClearingAreAccepted) {
  CDNameFormatter f;
  EXPECT_TRUE(f.isPartialStringValid(QStringLiteral("Backu"), 5));  // backspace at the end
  EXPECT_TRUE(f.isPartialStringValid(QStringLiteral("Bckup"), 1));  // delete in the middle
  EXPECT_TRUE(f.isPartialStringValid(QString(), 0));
  // Deleting the first character leaves the caret at 0: nothing was typed.
  EXPECT_TRUE(f.isPartialStringValid(QStringLiteral("ackup"), 0));
  EXPECT_TRUE(f.isPartialStringValid(QStringLiteral("/ckup"), 0));
}

TEST(CDNameFormatter, CaretOutsideTheTextIsRefusedWithoutReadingPastIt) {
  CDNameFormatter f;
  EXPECT_FALSE(f.isPartialStringValid(QStringLiteral("abc"), 4));
  EXPECT_FALSE(f.isPartialStringValid(QStringLiteral("abc"), -1));
  EXPECT_FALSE(f.isPartialStringValid(QStringLiteral("a"), 1000));
}

TEST(CDNameFormatter, PasteIsJudgedByItsLastCharacterWithinTheLimit) {
  CDNameFormatter f;
  const QString pasted = QStringLiteral("Backup") + QStringLiteral("a/b");
  EXPECT_TRUE(f.isPartialStringValid(pasted, static_cast<int>(pasted.size())));
  const QString tooLong = QStringLiteral("BackupBackupBa") + QStringLiteral("a/b");  // 17
  EXPECT_FALSE(f.isPartialStringValid(tooLong, static_cast<int>(tooLong.size())));
  const QString endsBad = QStringLiteral("Backup") + QStringLiteral("ab/");
  EXPECT_FALSE(f.isPartialStringValid(endsBad, static_cast<int>(endsBad.size())));
}

TEST(CDNameFormatter, EmptyValueDisplaysDefaultAndEmptyTextStoresASpace) {
  CDNameFormatter f;
  EXPECT_EQ(f.stringForObjectValue(std::nullopt), QStringLiteral("my CDROM"));
  EXPECT_EQ(f.stringForObjectValue(QString()), QStringLiteral("my CDROM"));
  EXPECT_EQ(f.stringForObjectValue(QStringLiteral("Mail 2024")), QStringLiteral("Mail 2024"));
  // A stored single space is a value, not an empty one.
  EXPECT_EQ(f.stringForObjectValue(QStringLiteral(" ")), QStringLiteral(" "));
  EXPECT_EQ(f.getObjectValue(QString()), QStringLiteral(" "));
  EXPECT_EQ(f.getObjectValue(QStringLiteral("Docs")), QStringLiteral("Docs"));
}

TEST(CDNameFormatter, AWholeNameIsAcceptableOnlyIfEveryCharacterCouldBeTyped) {
  EXPECT_TRUE(CDNameFormatter::isAcceptableName(QStringLiteral("Backup 2026-12")));
  EXPECT_TRUE(CDNameFormatter::isAcceptableName(QStringLiteral("ABCDEFGHIJKLMNOP")));
  EXPECT_FALSE(CDNameFormatter::isAcceptableName(QStringLiteral("ABCDEFGHIJKLMNOPQ")));
  EXPECT_FALSE(CDNameFormatter::isAcceptableName(QStringLiteral("a/b")));  // a paste judged whole
  EXPECT_FALSE(CDNameFormatter::isAcceptableName(QStringLiteral("Caf\u00e9")));
}

}  // namespace
}  // namespace tessaline
