// The emulated disc's model where no burn reaches: a nearly full disc, and
// what a hand edit of the table of contents or a writer's name can break.

#include <gtest/gtest.h>

#include "devices/emulated/emulated_medium.h"

namespace tessaline::emulated {
namespace {

TEST(EmulatedMedium, ANearlyFullDiscHasNoFreeSpaceAndAPressedOneIsClosed) {
  Disc full;
  full.kind = MediumKind::CDR;
  full.capacity = kCd80Capacity;
  full.tracks = {{BlockAddress{0}, BlockCount{350000}}};
  EXPECT_EQ(full.freeBlocks().value, 0);  // never negative
  EXPECT_GT(sessionFootprint(BlockCount{1}), full.freeBlocks());
  auto rom = parseToc(R"({"trayOpen":false,"disc":{"kind":"cd-rom","capacity":1000,"closed":false,"tracks":[]}})");
  ASSERT_TRUE(rom);
  EXPECT_TRUE(rom.value().disc->closed);
}

TEST(EmulatedMedium, HandEditsAndBadWriterNamesAreRefusedWithAMessageThatSaysWhat) {
  const std::string head = R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":359847,"closed":false,"tracks":)";
  for (const auto& [json, fragment] : std::vector<std::pair<std::string, std::string>>{
           {"", "not valid JSON"},
           {"{\"trayOpen\":false,\"disc\":{\"kind\":\"cd-r\"", "not valid JSON"},  // truncated
           {"[1,2]", "not a JSON object"},
           {"{\"disc\":null}", "trayOpen"},
           {R"({"trayOpen":false,"disc":{"kind":"floppy","capacity":10,"closed":false,"tracks":[]}})", "kind"},
           {R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":-5,"closed":false,"tracks":[]}})", "capacity"},
           {R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":1e12,"closed":false,"tracks":[]}})", "capacity"},
           {head + R"([{"start":-1,"length":300}]}})", "whole numbers"},
           {head + R"([{"start":0,"length":300.5}]}})", "whole numbers"},
           {head + R"([{"start":0,"length":0}]}})", "at least 1"},
           {head + R"([{"start":0,"length":300},{"start":200,"length":300}]}})", "inside the track before it"},
           {head + R"([{"start":11702,"length":300},{"start":0,"length":300}]}})", "inside the track before it"},
           {head + R"([{"start":359800,"length":300}]}})", "past the end"},
           {head + R"("none"}})", "must be a list"}}) {
    const auto r = parseToc(json);
    ASSERT_FALSE(r) << json;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(r.error().message.find(fragment), std::string::npos) << r.error().message;
  }
  EXPECT_TRUE(validateWriterName("r\xc3\xa9 corder"));
  for (const std::string& bad : std::vector<std::string>{"/", "..", "tab\there", "new\nline", std::string(300, 'x')}) {
    const auto s = validateWriterName(bad);
    ASSERT_FALSE(s) << bad;
    EXPECT_EQ(s.error().kind, ErrorKind::InvalidInput);
  }
}

}  // namespace
}  // namespace tessaline::emulated
