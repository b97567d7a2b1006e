// The emulated disc's model: address arithmetic, the table of contents and
// what a hand edit can break in it, writer names, mount-table escaping.

#include <gtest/gtest.h>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_mount.h"

namespace tessaline::emulated {
namespace {

Disc cdr(std::vector<TrackRecord> tracks = {}, bool closed = false) {
  Disc d;
  d.kind = MediumKind::CDR;
  d.capacity = kCd80Capacity;
  d.tracks = std::move(tracks);
  d.closed = closed;
  return d;
}

TEST(EmulatedAddresses, SessionsArePaddedAndSeparatedByLeadOutAndLeadIn) {
  // A blank disc offers its whole capacity from block 0.
  const Disc blank = cdr();
  EXPECT_EQ(blank.freeBlocks().value, 359847);
  EXPECT_EQ(blank.usedBlocks().value, 0);
  EXPECT_EQ(blank.nextWritable().value, 0);
  EXPECT_EQ(blank.sessionString(), "0");
  // A short session is padded to 300 blocks, then 2 run-out blocks, then the
  // 11,400-block gap after the first session.
  EXPECT_EQ(paddedTrackLength(BlockCount{182}).value, 300);
  EXPECT_EQ(paddedTrackLength(BlockCount{5000}).value, 5000);
  EXPECT_EQ(cdr({{BlockAddress{0}, paddedTrackLength(BlockCount{182})}}).nextWritable().value, 300 + 2 + 11400);
  const Disc one = cdr({{BlockAddress{0}, BlockCount{5000}}});
  EXPECT_EQ(one.nextWritable().value, 5000 + 2 + 11400);
  EXPECT_EQ(one.sessionString(), "0,16402");
  EXPECT_EQ(one.freeBlocks().value, 359847 - 16402);
  EXPECT_EQ(one.freeBlocks().value + one.usedBlocks().value, 359847);
  // Later sessions are followed by the shorter 6,900-block gap.
  const Disc two = cdr({{BlockAddress{0}, BlockCount{5000}}, {BlockAddress{16402}, BlockCount{700}}});
  EXPECT_EQ(two.nextWritable().value, 16402 + 700 + 2 + 6900);
  EXPECT_EQ(two.sessionString(), "16402,24004");
}

TEST(EmulatedAddresses, ClosedAndPressedDiscsHaveNoFreeSpace) {
  const Disc closed = cdr({{BlockAddress{0}, BlockCount{400}}}, true);
  EXPECT_FALSE(closed.appendable());
  EXPECT_EQ(closed.freeBlocks().value, 0);
  EXPECT_EQ(closed.usedBlocks().value, 402);
  Disc rom = cdr({{BlockAddress{0}, BlockCount{400}}});
  rom.kind = MediumKind::CDROM;
  EXPECT_FALSE(rom.appendable());
  EXPECT_EQ(rom.freeBlocks().value, 0);
  // A nearly full disc never reports negative space.
  Disc full = cdr({{BlockAddress{0}, BlockCount{350000}}});
  EXPECT_EQ(full.freeBlocks().value, 0);
  EXPECT_GT(sessionFootprint(BlockCount{1}), full.freeBlocks());
}

TEST(EmulatedToc, RoundTripsThroughItsStoredForm) {
  Toc toc;
  toc.trayOpen = false;
  toc.changedAtMs = 1700000000123;
  Disc d = cdr({{BlockAddress{0}, BlockCount{300}}, {BlockAddress{11702}, BlockCount{900}}});
  d.kind = MediumKind::CDRW;
  toc.disc = d;
  auto back = parseToc(serializeToc(toc));
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(back.value().changedAtMs, toc.changedAtMs);
  ASSERT_TRUE(back.value().disc);
  EXPECT_EQ(back.value().disc->kind, MediumKind::CDRW);
  EXPECT_EQ(back.value().disc->tracks, d.tracks);
  EXPECT_FALSE(back.value().disc->closed);

  Toc empty;
  empty.trayOpen = true;
  auto e = parseToc(serializeToc(empty));
  ASSERT_TRUE(e);
  EXPECT_TRUE(e.value().trayOpen);
  EXPECT_FALSE(e.value().disc);

  // A pressed disc is always closed.
  auto r = parseToc(R"({"trayOpen":false,"disc":{"kind":"cd-rom","capacity":1000,"closed":false,"tracks":[]}})");
  ASSERT_TRUE(r);
  EXPECT_TRUE(r.value().disc->closed);
}

TEST(EmulatedToc, RejectsWhatAHandEditCanBreakWithAMessageThatSaysWhat) {
  const auto expectBad = [](const std::string& json, const std::string& fragment) {
    auto r = parseToc(json);
    ASSERT_FALSE(r) << json;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(r.error().message.find(fragment), std::string::npos) << r.error().message;
  };
  const std::string head = R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":359847,"closed":false,"tracks":)";
  expectBad("", "not valid JSON");
  expectBad("{\"trayOpen\":false,\"disc\":{\"kind\":\"cd-r\"", "not valid JSON");  // truncated
  expectBad("[1,2]", "not a JSON object");
  expectBad("{\"disc\":null}", "trayOpen");
  expectBad(R"({"trayOpen":false,"disc":{"kind":"floppy","capacity":10,"closed":false,"tracks":[]}})", "kind");
  expectBad(R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":-5,"closed":false,"tracks":[]}})", "capacity");
  expectBad(R"({"trayOpen":false,"disc":{"kind":"cd-r","capacity":1e12,"closed":false,"tracks":[]}})", "capacity");
  expectBad(head + R"([{"start":-1,"length":300}]}})", "whole numbers");
  expectBad(head + R"([{"start":0,"length":300.5}]}})", "whole numbers");
  expectBad(head + R"([{"start":0,"length":0}]}})", "at least 1");
  expectBad(head + R"([{"start":0,"length":300},{"start":200,"length":300}]}})", "inside the track before it");
  expectBad(head + R"([{"start":11702,"length":300},{"start":0,"length":300}]}})", "inside the track before it");
  expectBad(head + R"([{"start":359800,"length":300}]}})", "past the end");
  expectBad(head + R"("none"}})", "must be a list");
}

TEST(EmulatedNames, WriterNamesMustMakeSafeFolderNames) {
  EXPECT_TRUE(validateWriterName("Main recorder"));
  EXPECT_TRUE(validateWriterName("r\xc3\xa9"));
  for (const auto& [bad, fragment] : std::vector<std::pair<std::string, std::string>>{
           {"", "empty"}, {"a/b", "slash"}, {"/", ""}, {".hidden", "dot"}, {"..", ""}, {"tab\there", ""},
           {"new\nline", ""}, {std::string(300, 'x'), ""}}) {
    auto s = validateWriterName(bad);
    ASSERT_FALSE(s) << bad;
    EXPECT_EQ(s.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(s.error().message.find(fragment), std::string::npos) << s.error().message;
  }
}

}  // namespace
}  // namespace tessaline::emulated
