// The real-drive backend's reading of media: drive replies (hand-made after
// the layouts drives send, and malformed ones) through the parsers to the
// medium state.

#include <gtest/gtest.h>

#include <linux/cdrom.h>

#include <cstdint>
#include <vector>

#include "devices/libburn/medium_parsers.h"

namespace tessaline::libburn {
namespace {

using Reply = std::vector<std::uint8_t>;

void put32(Reply& r, std::size_t at, std::int64_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  r[at] = static_cast<std::uint8_t>(u >> 24);
  r[at + 1] = static_cast<std::uint8_t>(u >> 16);
  r[at + 2] = static_cast<std::uint8_t>(u >> 8);
  r[at + 3] = static_cast<std::uint8_t>(u);
}

void putLength(Reply& r, std::size_t fieldBytes) {
  const std::size_t n = r.size() - fieldBytes;
  if (fieldBytes == 2) {
    r[0] = static_cast<std::uint8_t>(n >> 8);
    r[1] = static_cast<std::uint8_t>(n);
  } else {
    put32(r, 0, static_cast<std::int64_t>(n));
  }
}

Reply profileReply(int profile) {
  Reply r(8, 0);
  putLength(r, 4);
  r[6] = static_cast<std::uint8_t>(profile >> 8);
  r[7] = static_cast<std::uint8_t>(profile);
  return r;
}

Reply discInfoReply(int status, bool erasable, int sessions, int firstInLast, int lastInLast, int lastState = 0) {
  Reply r(34, 0);
  putLength(r, 2);
  r[2] = static_cast<std::uint8_t>((erasable ? 0x10 : 0) | (lastState << 2) | status);
  r[3] = 1;
  r[4] = static_cast<std::uint8_t>(sessions);
  r[5] = static_cast<std::uint8_t>(firstInLast);
  r[6] = static_cast<std::uint8_t>(lastInLast);
  return r;
}

Reply trackInfoReply(int track, int session, std::int64_t start, std::int64_t size, bool blank = false,
                     std::int64_t nwa = 0, std::int64_t freeBlocks = 0) {
  Reply r(36, 0);
  putLength(r, 2);
  r[2] = static_cast<std::uint8_t>(track);
  r[3] = static_cast<std::uint8_t>(session);
  r[5] = blank ? 0x00 : 0x04;  // a data track
  r[6] = static_cast<std::uint8_t>(blank ? 0x40 : 0x01);
  r[7] = blank ? 0x01 : 0x00;  // NWA valid on the invisible track
  put32(r, 8, start);
  put32(r, 12, nwa);
  put32(r, 16, freeBlocks);
  put32(r, 24, size);
  return r;
}

Reply tocReply(const std::vector<std::pair<int, std::int64_t>>& entries) {
  Reply r(4 + 8 * entries.size(), 0);
  putLength(r, 2);
  r[2] = 1;
  r[3] = static_cast<std::uint8_t>(entries.size() - 1);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    r[4 + 8 * i + 1] = 0x14;  // ADR 1, data track
    r[4 + 8 * i + 2] = static_cast<std::uint8_t>(entries[i].first);
    put32(r, 4 + 8 * i + 4, entries[i].second);
  }
  return r;
}

Reply fixedSense(int key, int asc, int ascq) {
  Reply s(18, 0);
  s[0] = 0x70;
  s[2] = static_cast<std::uint8_t>(key);
  s[7] = 10;
  s[12] = static_cast<std::uint8_t>(asc);
  s[13] = static_cast<std::uint8_t>(ascq);
  return s;
}

TrackInformation track(const Reply& r) {
  auto t = parseTrackInformation(r);
  EXPECT_TRUE(t.has_value());
  return t.value_or(TrackInformation{});
}

DriveReadings discReadings(int profile, const Reply& discInfo, const std::vector<Reply>& tracks,
                           std::optional<Reply> toc = std::nullopt) {
  DriveReadings r;
  r.status = DriveStatus::DiscOk;
  r.profile = parseCurrentProfile(profileReply(profile));
  r.disc = parseDiscInformation(discInfo);
  for (const auto& t : tracks) r.tracks.push_back(track(t));
  if (toc) r.toc = parseToc(*toc);
  return r;
}

TEST(LibburnMediumState, BlankCdrIsAppendableWithTheWholeDiscFree) {
  const auto s = mediumStateFrom(discReadings(0x09, discInfoReply(0, false, 1, 1, 1),
                                              {trackInfoReply(1, 1, 0, 0, true, 0, 359847)}));
  EXPECT_TRUE(s.present);
  EXPECT_EQ(s.kind, MediumKind::CDR);
  EXPECT_TRUE(s.blank);
  EXPECT_TRUE(s.appendable);
  EXPECT_FALSE(s.erasable);
  EXPECT_FALSE(s.busy || s.transitioning || s.trayOpen);
  EXPECT_EQ(s.spaceFree, BlockCount{359847});
  EXPECT_EQ(s.spaceUsed, BlockCount{0});
  ASSERT_EQ(s.tracks.size(), 1u);
  EXPECT_EQ(s.tracks[0].start, BlockAddress{0});
}

TEST(LibburnMediumState, OpenCdrwListsItsTracksThenTheNextWritableOne) {
  // Two sessions of one track each, the third session to come at 36,010.
  const auto r = discReadings(0x0A, discInfoReply(1, true, 3, 3, 3, 0),
                              {trackInfoReply(1, 1, 0, 12000), trackInfoReply(2, 2, 23400, 6000),
                               trackInfoReply(3, 3, 36000, 0, true, 36010, 323837)});
  const auto s = mediumStateFrom(r);
  EXPECT_EQ(s.kind, MediumKind::CDRW);
  EXPECT_FALSE(s.blank);
  EXPECT_TRUE(s.appendable);
  EXPECT_TRUE(s.erasable);
  ASSERT_EQ(s.tracks.size(), 3u);
  EXPECT_EQ(s.tracks[0], (TrackRecord{BlockAddress{0}, BlockCount{12000}}));
  EXPECT_EQ(s.tracks[1], (TrackRecord{BlockAddress{23400}, BlockCount{6000}}));
  // The next session starts at the next writable address, not the track start.
  EXPECT_EQ(s.tracks[2], (TrackRecord{BlockAddress{36010}, BlockCount{323837}}));
  EXPECT_EQ(s.spaceFree, BlockCount{323837});
  EXPECT_EQ(s.spaceUsed, BlockCount{36010});
  EXPECT_EQ(lastSessionStart(r.tracks), BlockAddress{23400});
}

TEST(LibburnMediumState, LastSessionStartIsItsFirstTrack) {
  // A session of two tracks: mkisofs continues from its first one.
  const std::vector<TrackInformation> tracks = {
      track(trackInfoReply(1, 1, 0, 5000)), track(trackInfoReply(2, 2, 16400, 300)),
      track(trackInfoReply(3, 2, 16852, 900)), track(trackInfoReply(4, 3, 24000, 0, true, 24000, 1000))};
  EXPECT_EQ(lastSessionStart(tracks), BlockAddress{16400});
  EXPECT_EQ(lastSessionStart({tracks.back()}), std::nullopt);  // blank disc
}

TEST(LibburnMediumState, ClosedCdrTakesNothingAndCountsUpToTheLeadOut) {
  const auto s = mediumStateFrom(discReadings(0x09, discInfoReply(2, false, 1, 1, 1, 3),
                                              {trackInfoReply(1, 1, 0, 40000)},
                                              tocReply({{1, 0}, {kLeadOutTrack, 40002}})));
  EXPECT_EQ(s.kind, MediumKind::CDR);
  EXPECT_FALSE(s.appendable);
  EXPECT_FALSE(s.blank);
  EXPECT_EQ(s.spaceFree, BlockCount{0});
  EXPECT_EQ(s.spaceUsed, BlockCount{40002});
  ASSERT_EQ(s.tracks.size(), 1u);
}

TEST(LibburnMediumState, ClosedCdrwIsErasableButNotAppendable) {
  const auto s = mediumStateFrom(discReadings(0x0A, discInfoReply(2, true, 1, 1, 1, 3), {trackInfoReply(1, 1, 0, 500)}));
  EXPECT_TRUE(s.erasable);
  EXPECT_FALSE(s.appendable);
  EXPECT_FALSE(s.blank);
}

TEST(LibburnMediumState, PressedCdAndOtherMedia) {
  // A CD-ROM: the layout from the table of contents when track records fail.
  auto rom = discReadings(0x08, discInfoReply(2, false, 1, 1, 2), {}, tocReply({{1, 0}, {2, 30000}, {kLeadOutTrack, 45000}}));
  auto s = mediumStateFrom(rom);
  EXPECT_EQ(s.kind, MediumKind::CDROM);
  EXPECT_FALSE(s.appendable || s.blank || s.erasable);
  ASSERT_EQ(s.tracks.size(), 2u);
  EXPECT_EQ(s.tracks[1], (TrackRecord{BlockAddress{30000}, BlockCount{15000}}));
  EXPECT_EQ(s.spaceUsed, BlockCount{45000});

  // A blank DVD+RW is not a medium we append to.
  s = mediumStateFrom(discReadings(0x1A, discInfoReply(0, false, 1, 1, 1), {}));
  EXPECT_EQ(s.kind, MediumKind::Other);
  EXPECT_FALSE(s.appendable || s.blank);
  EXPECT_EQ(kindFromProfile(0x10), MediumKind::Other);
  EXPECT_EQ(kindFromProfile(0x00), MediumKind::Other);
}

TEST(LibburnMediumState, DriveWithoutProfilesIsJudgedByTheDisc) {
  DriveReadings r = discReadings(0x09, discInfoReply(1, true, 1, 2, 2), {});
  r.profile.reset();
  EXPECT_EQ(mediumStateFrom(r).kind, MediumKind::CDRW);
  r.disc = parseDiscInformation(discInfoReply(2, false, 1, 1, 1));
  EXPECT_EQ(mediumStateFrom(r).kind, MediumKind::CDROM);
  r.disc = parseDiscInformation(discInfoReply(0, false, 1, 1, 1));
  EXPECT_EQ(mediumStateFrom(r).kind, MediumKind::CDR);
}

TEST(LibburnMediumState, TrayNoDiscAndNotReady) {
  DriveReadings r;
  EXPECT_EQ(driveStatusFromIoctl(CDS_TRAY_OPEN), DriveStatus::TrayOpen);
  EXPECT_EQ(driveStatusFromIoctl(CDS_NO_DISC), DriveStatus::NoDisc);
  EXPECT_EQ(driveStatusFromIoctl(CDS_DRIVE_NOT_READY), DriveStatus::NotReady);
  EXPECT_EQ(driveStatusFromIoctl(CDS_DISC_OK), DriveStatus::DiscOk);
  EXPECT_EQ(driveStatusFromIoctl(CDS_NO_INFO), DriveStatus::NoInfo);
  EXPECT_EQ(driveStatusFromIoctl(-1), DriveStatus::NoInfo);

  r.status = DriveStatus::TrayOpen;
  auto s = mediumStateFrom(r);
  EXPECT_TRUE(s.trayOpen);
  EXPECT_FALSE(s.present);

  r.status = DriveStatus::NoDisc;
  s = mediumStateFrom(r);
  EXPECT_FALSE(s.present || s.trayOpen || s.transitioning);

  r.status = DriveStatus::NotReady;
  r.sense = classifySense(fixedSense(0x02, 0x04, 0x01));  // becoming ready
  s = mediumStateFrom(r);
  EXPECT_TRUE(s.transitioning);

  r.sense = classifySense(fixedSense(0x02, 0x04, 0x08));  // another program writes
  s = mediumStateFrom(r);
  EXPECT_TRUE(s.busy);
  EXPECT_FALSE(s.transitioning);

  r.sense = classifySense(fixedSense(0x02, 0x3A, 0x00));  // medium not present
  s = mediumStateFrom(r);
  EXPECT_FALSE(s.present || s.transitioning || s.busy);

  // No status ioctl: the profile decides whether a medium is there.
  r = discReadings(0x09, discInfoReply(0, false, 1, 1, 1), {});
  r.status = DriveStatus::NoInfo;
  EXPECT_TRUE(mediumStateFrom(r).present);
  r.profile = 0;
  EXPECT_FALSE(mediumStateFrom(r).present);
}

TEST(LibburnParsers, SenseFormats) {
  EXPECT_EQ(classifySense({}), SenseMeaning::None);
  EXPECT_EQ(classifySense(fixedSense(0x06, 0x28, 0x00)), SenseMeaning::MediumChanged);
  EXPECT_EQ(classifySense(fixedSense(0x02, 0x04, 0x07)), SenseMeaning::LongOperation);
  EXPECT_EQ(classifySense(fixedSense(0x03, 0x0C, 0x00)), SenseMeaning::Other);
  EXPECT_EQ(classifySense(fixedSense(0x00, 0x00, 0x00)), SenseMeaning::None);
  const Reply descriptor = {0x72, 0x02, 0x3A, 0x02, 0, 0, 0, 0};
  EXPECT_EQ(classifySense(descriptor), SenseMeaning::NoMedium);
  const Reply shortFixed = {0x70, 0x00, 0x02};
  EXPECT_EQ(classifySense(shortFixed), SenseMeaning::Other);
  const Reply junk = {0x00, 0x11};
  EXPECT_EQ(classifySense(junk), SenseMeaning::Other);
}

TEST(LibburnParsers, ShortAndMalformedRepliesGiveNothing) {
  EXPECT_FALSE(parseCurrentProfile(Reply{0, 0, 0, 4, 0, 0}).has_value());
  EXPECT_EQ(parseCurrentProfile(profileReply(0x0A)), 0x0A);
  // A length field that claims less than the header.
  Reply header = profileReply(0x09);
  header[3] = 2;
  EXPECT_FALSE(parseCurrentProfile(header).has_value());

  Reply disc = discInfoReply(1, false, 1, 2, 2);
  EXPECT_TRUE(parseDiscInformation(disc).has_value());
  EXPECT_FALSE(parseDiscInformation(Reply(disc.begin(), disc.begin() + 10)).has_value());
  Reply backwards = discInfoReply(1, false, 1, 3, 2);
  EXPECT_FALSE(parseDiscInformation(backwards).has_value());
  // The drive sent fewer bytes than it announced: what arrived still counts.
  Reply truncated(disc.begin(), disc.begin() + 12);
  ASSERT_TRUE(parseDiscInformation(truncated).has_value());
  EXPECT_EQ(parseDiscInformation(truncated)->lastTrackInLastSession, 2);

  Reply info = trackInfoReply(2, 1, 1000, 500);
  EXPECT_TRUE(parseTrackInformation(info).has_value());
  EXPECT_FALSE(parseTrackInformation(Reply(info.begin(), info.begin() + 20)).has_value());
  Reply negative = trackInfoReply(1, 1, -150, 10);
  EXPECT_FALSE(parseTrackInformation(negative).has_value());
  Reply nwaBeforeStart = trackInfoReply(2, 2, 5000, 0, true, 4000, 10);
  EXPECT_FALSE(parseTrackInformation(nwaBeforeStart).has_value());
  // Without the high bytes (a 28-byte reply) the numbers come from the low ones.
  Reply oldDrive(info.begin(), info.begin() + 28);
  oldDrive[1] = 26;
  ASSERT_TRUE(parseTrackInformation(oldDrive).has_value());
  EXPECT_EQ(parseTrackInformation(oldDrive)->track, 2);

  EXPECT_TRUE(parseToc(tocReply({{1, 0}, {kLeadOutTrack, 300}})).has_value());
  Reply toc = tocReply({{1, 0}, {kLeadOutTrack, 300}});
  EXPECT_FALSE(parseToc(Reply(toc.begin(), toc.begin() + 3)).has_value());
  Reply ragged = toc;
  ragged[1] = static_cast<std::uint8_t>(ragged[1] - 3);
  EXPECT_FALSE(parseToc(ragged).has_value());
  EXPECT_FALSE(parseToc(tocReply({{1, 500}, {kLeadOutTrack, 300}})).has_value());
  EXPECT_FALSE(parseToc(tocReply({{1, -1}, {kLeadOutTrack, 300}})).has_value());
}

TEST(LibburnParsers, ChangedStatesCompareUnequal) {
  MediumState a;
  MediumState b = a;
  EXPECT_TRUE(sameMediumState(a, b));
  b.tracks.push_back({BlockAddress{0}, BlockCount{10}});
  EXPECT_FALSE(sameMediumState(a, b));
  b = a;
  b.spaceFree = BlockCount{1};
  EXPECT_FALSE(sameMediumState(a, b));
  b = a;
  b.transitioning = true;
  EXPECT_FALSE(sameMediumState(a, b));
}

}  // namespace
}  // namespace tessaline::libburn
