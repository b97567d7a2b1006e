// The real-drive backend's reading of media the simulated drive does not
// offer: drive replies hand-made after the layouts drives send (pressed CDs,
// DVDs, drives without profiles, sessions of several tracks) and malformed
// ones, through the parsers to the medium state.

#include <gtest/gtest.h>

#include <linux/cdrom.h>

#include <cstdint>
#include <functional>
#include <tuple>
#include <vector>

#include "devices/libburn/medium_parsers.h"

namespace tessaline::libburn {
namespace {

using Reply = std::vector<std::uint8_t>;

// Big-endian, as the drive sends it.
void putBE(Reply& r, std::size_t at, std::int64_t v, std::size_t bytes = 4) {
  for (std::size_t i = 0; i < bytes; ++i)
    r[at + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * (bytes - 1 - i)));
}

// The leading length field counts the bytes after itself.
void putLength(Reply& r, std::size_t fieldBytes) {
  putBE(r, 0, static_cast<std::int64_t>(r.size() - fieldBytes), fieldBytes);
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
  putBE(r, 8, start);
  putBE(r, 12, nwa);
  putBE(r, 16, freeBlocks);
  putBE(r, 24, size);
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
    putBE(r, 4 + 8 * i + 4, entries[i].second);
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

TEST(LibburnMediumState, EachKindOfDiscFromTheDrivesReplies) {
  struct Case {
    const char* disc;
    DriveReadings readings;
    MediumKind kind;
    bool appendable, blank, erasable;
    std::int64_t free, used;
    std::vector<TrackRecord> tracks;
  };
  DriveReadings noProfile = discReadings(0x09, discInfoReply(1, true, 1, 2, 2), {});
  noProfile.profile.reset();
  DriveReadings noProfileClosed = discReadings(0x09, discInfoReply(2, false, 1, 1, 1), {});
  noProfileClosed.profile.reset();
  DriveReadings noProfileBlank = discReadings(0x09, discInfoReply(0, false, 1, 1, 1), {});
  noProfileBlank.profile.reset();
  const auto at = [](std::int64_t start, std::int64_t length) { return TrackRecord{BlockAddress{start}, BlockCount{length}}; };
  for (const Case& c : std::vector<Case>{
           // Two sessions; the next one starts at the next writable address, not the track's start.
           {"open CD-RW",
            discReadings(0x0A, discInfoReply(1, true, 3, 3, 3, 0),
                         {trackInfoReply(1, 1, 0, 12000), trackInfoReply(2, 2, 23400, 6000),
                          trackInfoReply(3, 3, 36000, 0, true, 36010, 323837)}),
            MediumKind::CDRW, true, false, true, 323837, 36010, {at(0, 12000), at(23400, 6000), at(36010, 323837)}},
           {"closed CD-R, used up to the lead-out",
            discReadings(0x09, discInfoReply(2, false, 1, 1, 1, 3), {trackInfoReply(1, 1, 0, 40000)},
                         tocReply({{1, 0}, {kLeadOutTrack, 40002}})),
            MediumKind::CDR, false, false, false, 0, 40002, {at(0, 40000)}},
           // Without track records the layout comes from the table of contents.
           {"CD-ROM", discReadings(0x08, discInfoReply(2, false, 1, 1, 2), {}, tocReply({{1, 0}, {2, 30000}, {kLeadOutTrack, 45000}})),
            MediumKind::CDROM, false, false, false, 0, 45000, {at(0, 30000), at(30000, 15000)}},
           {"blank DVD+RW", discReadings(0x1A, discInfoReply(0, false, 1, 1, 1), {}), MediumKind::Other, false, false, false, 0, 0, {}},
           {"no profile, open", noProfile, MediumKind::CDRW, true, false, true, 0, 0, {}},
           {"no profile, closed", noProfileClosed, MediumKind::CDROM, false, false, false, 0, 0, {}},
           {"no profile, blank", noProfileBlank, MediumKind::CDR, true, true, false, 0, 0, {}}}) {
    SCOPED_TRACE(c.disc);
    const MediumState s = mediumStateFrom(c.readings);
    EXPECT_TRUE(s.present);
    EXPECT_FALSE(s.busy || s.transitioning || s.trayOpen);
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.appendable, c.appendable);
    EXPECT_EQ(s.blank, c.blank);
    EXPECT_EQ(s.erasable, c.erasable);
    if (c.kind == MediumKind::Other || c.readings.profile == std::nullopt) continue;
    EXPECT_EQ(s.spaceFree, BlockCount{c.free});
    EXPECT_EQ(s.spaceUsed, BlockCount{c.used});
    EXPECT_EQ(s.tracks, c.tracks);
  }
  EXPECT_EQ(kindFromProfile(0x10), MediumKind::Other);
  EXPECT_EQ(kindFromProfile(0x00), MediumKind::Other);

  // A last session of two tracks: mkisofs continues from its first one.
  const std::vector<TrackInformation> tracks = {
      track(trackInfoReply(1, 1, 0, 5000)), track(trackInfoReply(2, 2, 16400, 300)),
      track(trackInfoReply(3, 2, 16852, 900)), track(trackInfoReply(4, 3, 24000, 0, true, 24000, 1000))};
  EXPECT_EQ(lastSessionStart(tracks), BlockAddress{16400});
  EXPECT_EQ(lastSessionStart({tracks.back()}), std::nullopt);  // blank disc
  MediumState changed;
  changed.spaceFree = BlockCount{1};
  EXPECT_TRUE(sameMediumState(MediumState{}, MediumState{}));
  EXPECT_FALSE(sameMediumState(MediumState{}, changed));
}

TEST(LibburnMediumState, TrayNoDiscAndNotReady) {
  for (const auto& [ioctl, status] : std::vector<std::pair<int, DriveStatus>>{
           {CDS_TRAY_OPEN, DriveStatus::TrayOpen}, {CDS_NO_DISC, DriveStatus::NoDisc},
           {CDS_DRIVE_NOT_READY, DriveStatus::NotReady}, {CDS_DISC_OK, DriveStatus::DiscOk},
           {CDS_NO_INFO, DriveStatus::NoInfo}, {-1, DriveStatus::NoInfo}})
    EXPECT_EQ(driveStatusFromIoctl(ioctl), status) << ioctl;

  DriveReadings r;
  r.status = DriveStatus::TrayOpen;
  auto s = mediumStateFrom(r);
  EXPECT_TRUE(s.trayOpen);
  EXPECT_FALSE(s.present);
  r.status = DriveStatus::NoDisc;
  s = mediumStateFrom(r);
  EXPECT_FALSE(s.present || s.trayOpen || s.transitioning);

  // Not ready: the sense data says why. {asc, ascq, transitioning, busy}
  r.status = DriveStatus::NotReady;
  for (const auto& [asc, ascq, transitioning, busy] : std::vector<std::tuple<int, int, bool, bool>>{
           {0x04, 0x01, true, false},    // becoming ready
           {0x04, 0x08, false, true},    // another program writes
           {0x3A, 0x00, false, false}})  // medium not present
  {
    SCOPED_TRACE(asc * 256 + ascq);
    r.sense = classifySense(fixedSense(0x02, asc, ascq));
    s = mediumStateFrom(r);
    EXPECT_EQ(s.transitioning, transitioning);
    EXPECT_EQ(s.busy, busy);
    if (asc == 0x3A) {
      EXPECT_FALSE(s.present);
    }
  }

  // No status ioctl: the profile decides whether a medium is there.
  r = discReadings(0x09, discInfoReply(0, false, 1, 1, 1), {});
  r.status = DriveStatus::NoInfo;
  EXPECT_TRUE(mediumStateFrom(r).present);
  r.profile = 0;
  EXPECT_FALSE(mediumStateFrom(r).present);
}

TEST(LibburnParsers, SenseFormatsAndShortOrMalformedReplies) {
  for (const auto& [sense, meaning] : std::vector<std::pair<Reply, SenseMeaning>>{
           {{}, SenseMeaning::None},
           {fixedSense(0x06, 0x28, 0x00), SenseMeaning::MediumChanged},
           {fixedSense(0x02, 0x04, 0x07), SenseMeaning::LongOperation},
           {fixedSense(0x03, 0x0C, 0x00), SenseMeaning::Other},
           {fixedSense(0x00, 0x00, 0x00), SenseMeaning::None},
           {{0x72, 0x02, 0x3A, 0x02, 0, 0, 0, 0}, SenseMeaning::NoMedium},  // descriptor format
           {{0x70, 0x00, 0x02}, SenseMeaning::Other},                       // short fixed format
           {{0x00, 0x11}, SenseMeaning::Other}})                            // junk
    EXPECT_EQ(classifySense(sense), meaning) << sense.size();

  const Reply disc = discInfoReply(1, false, 1, 2, 2);
  const Reply info = trackInfoReply(2, 1, 1000, 500);
  const Reply toc = tocReply({{1, 0}, {kLeadOutTrack, 300}});
  Reply header = profileReply(0x09);
  header[3] = 2;  // a length field that claims less than the header
  Reply ragged = toc;
  ragged[1] = static_cast<std::uint8_t>(ragged[1] - 3);
  // Each reply, and whether it parses.
  for (const auto& [what, parses] : std::vector<std::pair<std::function<bool()>, bool>>{
           {[] { return parseCurrentProfile(profileReply(0x0A)) == 0x0A; }, true},
           {[] { return parseCurrentProfile(Reply{0, 0, 0, 4, 0, 0}).has_value(); }, false},
           {[&] { return parseCurrentProfile(header).has_value(); }, false},
           {[&] { return parseDiscInformation(Reply(disc.begin(), disc.begin() + 10)).has_value(); }, false},
           {[] { return parseDiscInformation(discInfoReply(1, false, 1, 3, 2)).has_value(); }, false},  // backwards
           // Fewer bytes than announced: what arrived still counts.
           {[&] { return parseDiscInformation(Reply(disc.begin(), disc.begin() + 12))->lastTrackInLastSession == 2; }, true},
           {[&] { return parseTrackInformation(info).has_value(); }, true},
           {[&] { return parseTrackInformation(Reply(info.begin(), info.begin() + 20)).has_value(); }, false},
           {[] { return parseTrackInformation(trackInfoReply(1, 1, -150, 10)).has_value(); }, false},  // negative start
           {[] { return parseTrackInformation(trackInfoReply(2, 2, 5000, 0, true, 4000, 10)).has_value(); }, false},  // NWA before start
           // Without the high bytes (a 28-byte reply) the numbers come from the low ones.
           {[&] {
              Reply oldDrive(info.begin(), info.begin() + 28);
              oldDrive[1] = 26;
              return parseTrackInformation(oldDrive)->track == 2;
            }, true},
           {[&] { return parseToc(toc).has_value(); }, true},
           {[&] { return parseToc(Reply(toc.begin(), toc.begin() + 3)).has_value(); }, false},
           {[&] { return parseToc(ragged).has_value(); }, false},
           {[] { return parseToc(tocReply({{1, 500}, {kLeadOutTrack, 300}})).has_value(); }, false},
           {[] { return parseToc(tocReply({{1, -1}, {kLeadOutTrack, 300}})).has_value(); }, false}}) {
    EXPECT_EQ(what(), parses);
  }
}

}  // namespace
}  // namespace tessaline::libburn
