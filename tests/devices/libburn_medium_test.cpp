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

// A reply of `size` bytes whose leading length field (of `lengthBytes`)
// counts the bytes after itself, with big-endian fields {offset, bytes, value}.
Reply reply(std::size_t size, std::size_t lengthBytes, const std::vector<std::tuple<std::size_t, std::size_t, std::int64_t>>& fields) {
  Reply r(size, 0);
  auto put = [&](std::size_t at, std::size_t bytes, std::int64_t v) {
    for (std::size_t i = 0; i < bytes; ++i)
      r[at + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * (bytes - 1 - i)));
  };
  put(0, lengthBytes, static_cast<std::int64_t>(size - lengthBytes));
  for (const auto& [at, bytes, v] : fields) put(at, bytes, v);
  return r;
}

Reply profileReply(int profile) { return reply(8, 4, {{6, 2, profile}}); }

Reply discInfoReply(int status, bool erasable, int sessions, int firstInLast, int lastInLast, int lastState = 0) {
  return reply(34, 2, {{2, 1, (erasable ? 0x10 : 0) | (lastState << 2) | status}, {3, 1, 1}, {4, 1, sessions},
                       {5, 1, firstInLast}, {6, 1, lastInLast}});
}

// A data track, or the invisible track with its next writable address.
Reply trackInfoReply(int track, int session, std::int64_t start, std::int64_t size, bool blank = false,
                     std::int64_t nwa = 0, std::int64_t freeBlocks = 0) {
  return reply(36, 2, {{2, 1, track}, {3, 1, session}, {5, 1, blank ? 0x00 : 0x04}, {6, 1, blank ? 0x40 : 0x01},
                       {7, 1, blank ? 1 : 0}, {8, 4, start}, {12, 4, nwa}, {16, 4, freeBlocks}, {24, 4, size}});
}

Reply tocReply(const std::vector<std::pair<int, std::int64_t>>& entries) {
  std::vector<std::tuple<std::size_t, std::size_t, std::int64_t>> fields{{2, 1, 1}, {3, 1, static_cast<std::int64_t>(entries.size() - 1)}};
  for (std::size_t i = 0; i < entries.size(); ++i)  // ADR 1, data track
    fields.insert(fields.end(), {{4 + 8 * i + 1, 1, 0x14}, {4 + 8 * i + 2, 1, entries[i].first}, {4 + 8 * i + 4, 4, entries[i].second}});
  return reply(4 + 8 * entries.size(), 2, fields);
}

Reply fixedSense(int key, int asc, int ascq) {
  Reply s(18, 0);
  s[0] = 0x70, s[2] = static_cast<std::uint8_t>(key), s[7] = 10;
  s[12] = static_cast<std::uint8_t>(asc), s[13] = static_cast<std::uint8_t>(ascq);
  return s;
}

TrackInformation track(const Reply& r) {
  auto t = parseTrackInformation(r);
  EXPECT_TRUE(t.has_value());
  return t.value_or(TrackInformation{});
}

DriveReadings discReadings(int profile, const Reply& discInfo, const std::vector<Reply>& tracks,
                           std::optional<Reply> toc = std::nullopt, std::vector<int> speedsKBps = {}) {
  DriveReadings r;
  r.status = DriveStatus::DiscOk;
  r.profile = parseCurrentProfile(profileReply(profile));
  r.disc = parseDiscInformation(discInfo);
  for (const auto& t : tracks) r.tracks.push_back(track(t));
  if (toc) r.toc = parseToc(*toc);
  r.writeSpeedsKBps = std::move(speedsKBps);
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
    std::vector<int> speeds = {};
  };
  const auto noProfile = [](int status, bool erasable) {  // the disc alone tells
    DriveReadings r = discReadings(0x09, discInfoReply(status, erasable, 1, 1, 1), {});
    r.profile.reset();
    return r;
  };
  const auto at = [](std::int64_t start, std::int64_t length) { return TrackRecord{BlockAddress{start}, BlockCount{length}}; };
  for (const Case& c : std::vector<Case>{
           // Two sessions; the next one starts at the next writable address, not the track's start.
           {"open CD-RW",
            discReadings(0x0A, discInfoReply(1, true, 3, 3, 3, 0),
                         {trackInfoReply(1, 1, 0, 12000), trackInfoReply(2, 2, 23400, 6000),
                          trackInfoReply(3, 3, 36000, 0, true, 36010, 323837)}, std::nullopt, {2823, 1411, 706}),
            MediumKind::CDRW, true, false, true, 323837, 36010, {at(0, 12000), at(23400, 6000), at(36010, 323837)},
            {4, 8, 16}},
           // A closed disc takes no session, so it has no write speeds.
           {"closed CD-R, used up to the lead-out",
            discReadings(0x09, discInfoReply(2, false, 1, 1, 1, 3), {trackInfoReply(1, 1, 0, 40000)},
                         tocReply({{1, 0}, {kLeadOutTrack, 40002}}), {2823}),
            MediumKind::CDR, false, false, false, 0, 40002, {at(0, 40000)}},
           // Without track records the layout comes from the table of contents.
           {"CD-ROM", discReadings(0x08, discInfoReply(2, false, 1, 1, 2), {}, tocReply({{1, 0}, {2, 30000}, {kLeadOutTrack, 45000}})),
            MediumKind::CDROM, false, false, false, 0, 45000, {at(0, 30000), at(30000, 15000)}},
           {"CD-ROM, a table without its lead-out",
            discReadings(0x08, discInfoReply(2, false, 1, 1, 2), {}, tocReply({{1, 0}, {2, 30000}})),
            MediumKind::CDROM, false, false, false, 0, 30000, {at(0, 30000), at(30000, 0)}},
           {"blank DVD+RW", discReadings(0x1A, discInfoReply(0, false, 1, 1, 1), {}), MediumKind::Other, false, false, false, 0, 0, {}},
           {"no profile, open", noProfile(1, true), MediumKind::CDRW, true, false, true, 0, 0, {}},
           {"no profile, closed", noProfile(2, false), MediumKind::CDROM, false, false, false, 0, 0, {}},
           {"no profile, blank", noProfile(0, false), MediumKind::CDR, true, true, false, 0, 0, {}}}) {
    SCOPED_TRACE(c.disc);
    const MediumState s = mediumStateFrom(c.readings);
    EXPECT_TRUE(s.present);
    EXPECT_FALSE(s.busy || s.transitioning || s.trayOpen);
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.appendable, c.appendable);
    EXPECT_EQ(s.blank, c.blank);
    EXPECT_EQ(s.erasable, c.erasable);
    EXPECT_EQ(s.writeSpeeds, c.speeds);
    if (c.kind == MediumKind::Other || c.readings.profile == std::nullopt) continue;
    EXPECT_EQ(s.spaceFree, BlockCount{c.free});
    EXPECT_EQ(s.spaceUsed, BlockCount{c.used});
    EXPECT_EQ(s.tracks, c.tracks);
  }

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

// From the status ioctl's answer: a drive that is not ready tells why in its
// sense data; one without the ioctl has a medium when its profile says so.
TEST(LibburnMediumState, TrayNoDiscAndNotReady) {
  const auto readings = [](int ioctl, std::optional<int> profile = std::nullopt) {
    DriveReadings r;
    r.status = driveStatusFromIoctl(ioctl);
    r.profile = profile;
    return r;
  };
  const auto notReady = [&](int asc, int ascq) {
    DriveReadings r = readings(CDS_DRIVE_NOT_READY);
    r.sense = classifySense(fixedSense(0x02, asc, ascq));
    return r;
  };
  struct Case {
    const char* what;
    DriveReadings readings;
    bool present, trayOpen, transitioning, busy;
  };
  for (const Case& c : std::vector<Case>{{"tray open", readings(CDS_TRAY_OPEN), false, true, false, false},
                                         {"no disc", readings(CDS_NO_DISC), false, false, false, false},
                                         {"becoming ready", notReady(0x04, 0x01), false, false, true, false},
                                         {"another program writes", notReady(0x04, 0x08), true, false, false, true},
                                         {"medium not present", notReady(0x3A, 0x00), false, false, false, false},
                                         {"no ioctl, no profile", readings(CDS_NO_INFO, 0), false, false, false, false},
                                         {"ioctl failed, a CD-R", readings(-1, 0x09), true, false, false, false}}) {
    const MediumState s = mediumStateFrom(c.readings);
    EXPECT_EQ(std::tuple(s.present, s.trayOpen, s.transitioning, s.busy),
              std::tuple(c.present, c.trayOpen, c.transitioning, c.busy))
        << c.what;
  }
}

TEST(LibburnParsers, SenseFormatsAndShortOrMalformedReplies) {
  for (const auto& [sense, meaning] : std::vector<std::pair<Reply, SenseMeaning>>{
           {{}, SenseMeaning::None},
           {fixedSense(0x06, 0x28, 0x00), SenseMeaning::MediumChanged},
           {fixedSense(0x06, 0x29, 0x00), SenseMeaning::Other},  // a reset, not a new disc
           {fixedSense(0x02, 0x04, 0x07), SenseMeaning::LongOperation},
           {fixedSense(0x03, 0x0C, 0x00), SenseMeaning::Other},
           {fixedSense(0x00, 0x00, 0x00), SenseMeaning::None},
           {{0x72, 0x02, 0x3A, 0x02, 0, 0, 0, 0}, SenseMeaning::NoMedium},  // descriptor format
           {{0x72, 0x02, 0x04, 0x04, 0, 0, 0, 0}, SenseMeaning::LongOperation},
           {{0x70, 0x00, 0x02}, SenseMeaning::Other},                       // short fixed format
           {{0x00, 0x11}, SenseMeaning::Other}})                            // junk
    EXPECT_EQ(classifySense(sense), meaning) << sense.size();

  const Reply disc = discInfoReply(1, false, 1, 2, 2);
  const Reply info = trackInfoReply(2, 1, 1000, 500);
  const Reply toc = tocReply({{1, 0}, {kLeadOutTrack, 300}});
  Reply header = profileReply(0x09);
  header[3] = 3;  // a length field that claims one byte less than the header
  Reply ragged = toc;
  ragged[1] = static_cast<std::uint8_t>(ragged[1] - 3);
  // Each reply, and whether it parses.
  for (const auto& [what, parses] : std::vector<std::pair<std::function<bool()>, bool>>{
           {[] { return parseCurrentProfile(profileReply(0x0A)) == 0x0A; }, true},
           {[] { return parseCurrentProfile(Reply{0, 0, 0, 4, 0, 0}).has_value(); }, false},
           {[&] { return parseCurrentProfile(header).has_value(); }, false},
           {[&] { return parseDiscInformation(Reply(disc.begin(), disc.begin() + 10)).has_value(); }, false},
           {[] { return parseDiscInformation(discInfoReply(1, false, 1, 3, 2)).has_value(); }, false},  // backwards
           {[] {  // a last session of two tracks, numbered past 255 (the high bytes)
              Reply r = discInfoReply(1, false, 2, 3, 4);
              r[10] = 1, r[11] = 2;
              const auto d = parseDiscInformation(r);
              return d->firstTrackInLastSession == 259 && d->lastTrackInLastSession == 516;
            }, true},
           // Fewer bytes than announced: what arrived still counts.
           {[&] { return parseDiscInformation(Reply(disc.begin(), disc.begin() + 12))->lastTrackInLastSession == 2; }, true},
           {[&] { return parseTrackInformation(info).has_value(); }, true},
           {[&] { return parseTrackInformation(Reply(info.begin(), info.begin() + 20)).has_value(); }, false},
           {[] { return parseTrackInformation(trackInfoReply(1, 1, -150, 10)).has_value(); }, false},  // negative start
           {[] { return parseTrackInformation(trackInfoReply(2, 2, 5000, 0, true, 4000, 10)).has_value(); }, false},  // NWA before start
           // Without the high bytes (a 28-byte reply) the numbers come from the low
           // ones, whatever the rest of the buffer holds.
           {[&] {
              Reply oldDrive = info;
              oldDrive[1] = 26;
              oldDrive[32] = oldDrive[33] = 0xFF;
              return parseTrackInformation(oldDrive)->track == 2;
            }, true},
           {[&] {  // 33 bytes: the track's high byte arrived, the session's did not
              Reply upToTrack = info;
              upToTrack[1] = 31;
              upToTrack[32] = 1;
              upToTrack[33] = 0xFF;
              const auto t = parseTrackInformation(upToTrack);
              return t->track == 256 + upToTrack[2] && t->session == upToTrack[3];
            }, true},
           {[&] {  // 34 bytes: the session's high byte is the last one
              Reply upToSession = info;
              upToSession[1] = 32;
              upToSession[33] = 1;
              return parseTrackInformation(upToSession)->session == 256 + upToSession[3];
            }, true},
           {[&] { return parseToc(toc).has_value(); }, true},
           {[&] { return parseToc(Reply(toc.begin(), toc.begin() + 3)).has_value(); }, false},
           {[&] { return parseToc(ragged).has_value(); }, false},
           {[] { return parseToc(tocReply({{1, 500}, {kLeadOutTrack, 300}})).has_value(); }, false},
           {[] { return parseToc(tocReply({{1, 300}, {kLeadOutTrack, 300}})).has_value(); }, true},  // an empty track
           {[] { return parseToc(tocReply({{1, -1}, {kLeadOutTrack, 300}})).has_value(); }, false}}) {
    EXPECT_EQ(what(), parses);
  }
}

// Write speeds come from GET PERFORMANCE, or from the capabilities page of
// a drive without it; either way as kB/s, which become CD multiples.
TEST(LibburnParsers, WriteSpeedsFromEitherReply) {
  EXPECT_EQ(cdSpeedMultiples({8468, 0, 2823, 1412, 1411, -1, 4234}), (std::vector<int>{8, 16, 24, 48}));

  // An 8-byte header, then 16-byte descriptors that end with the write speed.
  Reply performance = reply(8 + 16 * 3, 4, {{20, 4, 8467}, {36, 4, 2822}, {52, 4, 706}});
  EXPECT_EQ(parseWriteSpeedDescriptors(performance), (std::vector<int>{8467, 2822, 706}));
  EXPECT_EQ(parseWriteSpeedDescriptors(Reply(performance.begin(), performance.end() - 1)),
            (std::vector<int>{8467, 2822}));
  performance[3] = 4 + 16;  // the length covers one descriptor
  EXPECT_EQ(parseWriteSpeedDescriptors(performance), (std::vector<int>{8467}));
  EXPECT_TRUE(parseWriteSpeedDescriptors(Reply{0, 0, 0}).empty());

  // MODE SENSE(10): a header, 8 bytes of block descriptor, then page 2Ah of
  // pageLength bytes after its first two, with the fastest write speed at 18
  // and `count` descriptors from 32; `after` bytes of the reply follow the page.
  const auto modeSense = [](int pageCode, std::size_t pageLength, int count, std::vector<int> speeds,
                            std::size_t after = 0) {
    std::vector<std::tuple<std::size_t, std::size_t, std::int64_t>> fields{
        {6, 2, 8}, {16, 1, 0x80 | pageCode}, {17, 1, static_cast<std::int64_t>(pageLength)},
        {34, 2, 5645}, {46, 2, count}};
    for (std::size_t i = 0; i < speeds.size(); ++i) fields.push_back({16 + 32 + 4 * i + 2, 2, speeds[i]});
    Reply r = reply(16 + 32 + 4 * 3, 2, fields);  // room for every field, then cut to the page
    r.resize(16 + 2 + pageLength + after);
    r[1] = static_cast<std::uint8_t>(r.size() - 2);
    return r;
  };
  Reply cutShort = modeSense(0x2A, 38, 2, {4234, 1411});
  cutShort.resize(12);  // before the page
  for (const auto& [page, speeds] : std::vector<std::pair<Reply, std::vector<int>>>{
           {modeSense(0x2A, 38, 2, {4234, 1411}), {4234, 1411}},
           {modeSense(0x2A, 38, 3, {4234, 1411}), {4234, 1411}},  // more counted than sent
           {modeSense(0x2A, 37, 2, {4234, 1411}, 3), {4234}},     // the page ends inside the second
           {modeSense(0x2A, 30, 0, {}), {5645}},                  // no list: the fastest alone
           {modeSense(0x2A, 18, 0, {}), {5645}},                  // an old drive's short page
           {modeSense(0x2A, 16, 0, {}), {}},
           {modeSense(0x05, 38, 2, {4234, 1411}), {}},  // another page
           {cutShort, {}}})
    EXPECT_EQ(parseCapabilitiesWriteSpeeds(page), speeds) << page.size();
}

}  // namespace
}  // namespace tessaline::libburn
