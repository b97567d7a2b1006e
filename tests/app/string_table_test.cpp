// The strings table the window's texts come from.

#include <gtest/gtest.h>

#include "app/string_table.h"

namespace tessaline {
namespace {

TEST(StringTable, ReadsEscapesAndCommentsAndRefusesABrokenTable) {
  const auto table = parseStringTable("/* texts */\n\"a\" = \"say \\\"hi\\\"\\tthen\\nbye \\\\\";  // a note\n"
                                      "/* no space after */\"b\"=\"\";\n");
  ASSERT_TRUE(table);
  EXPECT_EQ(table->value(QStringLiteral("a")), QStringLiteral("say \"hi\"\tthen\nbye \\"));
  EXPECT_TRUE(table->contains(QStringLiteral("b")));
  for (const char* broken : {"\"a\" = \"x\"", "\"a\" \"x\";", "\"a\" = \"x;", "\"a\" = \"x\\", "a = \"x\";"})
    EXPECT_FALSE(parseStringTable(broken)) << broken;
  // The application's own table is read whole, quotes and all.
  EXPECT_TRUE(StringTable::builtIn().localized("noCdWriterLong").contains(
      QStringLiteral("\"tessaline-cli writer create NAME\", then start Tessaline again.")));
}

}  // namespace
}  // namespace tessaline
