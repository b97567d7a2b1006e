#include "devices/libburn/medium_parsers.h"

#include <linux/cdrom.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tessaline::libburn {
namespace {

std::uint32_t be16(Bytes b, std::size_t at) {
  return (static_cast<std::uint32_t>(b[at]) << 8) | b[at + 1];
}

std::uint32_t be32(Bytes b, std::size_t at) {
  return (static_cast<std::uint32_t>(b[at]) << 24) | (static_cast<std::uint32_t>(b[at + 1]) << 16) |
         (static_cast<std::uint32_t>(b[at + 2]) << 8) | b[at + 3];
}

// Block addresses on a CD fit in 24 bits; a lead-in address of an empty disc
// may come as a negative 32-bit number.
std::int64_t signedAddress(Bytes b, std::size_t at) {
  return static_cast<std::int32_t>(be32(b, at));
}

// The number of reply bytes that are valid: what the drive says it sent
// (the length field counts the bytes after itself), capped by what arrived.
std::size_t validLength(Bytes reply, std::size_t lengthFieldBytes) {
  if (reply.size() < lengthFieldBytes) return 0;
  const std::size_t declared =
      (lengthFieldBytes == 2 ? be16(reply, 0) : be32(reply, 0)) + lengthFieldBytes;
  return std::min(declared, reply.size());
}

}  // namespace

DriveStatus driveStatusFromIoctl(int result) {
  switch (result) {
    case CDS_NO_DISC: return DriveStatus::NoDisc;
    case CDS_TRAY_OPEN: return DriveStatus::TrayOpen;
    case CDS_DRIVE_NOT_READY: return DriveStatus::NotReady;
    case CDS_DISC_OK: return DriveStatus::DiscOk;
    default: return DriveStatus::NoInfo;
  }
}

std::optional<int> parseCurrentProfile(Bytes reply) {
  if (validLength(reply, 4) < 8) return std::nullopt;
  return static_cast<int>(be16(reply, 6));
}

MediumKind kindFromProfile(int profile) {
  switch (profile) {
    case kProfileCdRom: return MediumKind::CDROM;
    case kProfileCdR: return MediumKind::CDR;
    case kProfileCdRw: return MediumKind::CDRW;
    default: return MediumKind::Other;
  }
}

std::optional<DiscInformation> parseDiscInformation(Bytes reply) {
  const std::size_t n = validLength(reply, 2);
  if (n < 12) return std::nullopt;
  const auto data = reply.first(n);
  DiscInformation info;
  info.erasable = (data[2] & 0x10) != 0;
  info.lastSessionState = (data[2] >> 2) & 0x03;
  info.status = static_cast<DiscStatus>(data[2] & 0x03);
  info.firstTrack = data[3];
  info.sessions = data[4] | (data[9] << 8);
  info.firstTrackInLastSession = data[5] | (data[10] << 8);
  info.lastTrackInLastSession = data[6] | (data[11] << 8);
  if (info.status != DiscStatus::Other &&
      (info.firstTrackInLastSession > info.lastTrackInLastSession || info.firstTrack > info.lastTrackInLastSession))
    return std::nullopt;
  return info;
}

std::optional<TrackInformation> parseTrackInformation(Bytes reply) {
  const std::size_t n = validLength(reply, 2);
  if (n < 28) return std::nullopt;
  const auto data = reply.first(n);
  TrackInformation t;
  t.track = data[2] | (n > 32 ? data[32] << 8 : 0);
  t.session = data[3] | (n > 33 ? data[33] << 8 : 0);
  t.damaged = (data[5] & 0x20) != 0;
  t.dataTrack = (data[5] & 0x04) != 0;
  t.blank = (data[6] & 0x40) != 0;
  t.nwaValid = (data[7] & 0x01) != 0;
  t.start = BlockAddress{signedAddress(data, 8)};
  t.nextWritable = BlockAddress{signedAddress(data, 12)};
  t.freeBlocks = BlockCount{be32(data, 16)};
  t.size = BlockCount{be32(data, 24)};
  if (t.start.value < 0 || (t.nwaValid && t.nextWritable < t.start)) return std::nullopt;
  return t;
}

std::optional<std::vector<TocEntry>> parseToc(Bytes reply) {
  const std::size_t n = validLength(reply, 2);
  if (n < 4 || (n - 4) % 8 != 0) return std::nullopt;
  std::vector<TocEntry> entries;
  for (std::size_t at = 4; at < n; at += 8) {
    TocEntry e;
    e.track = reply[at + 2];
    e.dataTrack = (reply[at + 1] & 0x04) != 0;
    e.start = BlockAddress{signedAddress(reply, at + 4)};
    if (e.start.value < 0) return std::nullopt;
    if (!entries.empty() && e.start < entries.back().start) return std::nullopt;
    entries.push_back(e);
  }
  return entries;
}

std::vector<int> parseWriteSpeedDescriptors(Bytes reply) {
  const std::size_t valid = validLength(reply, 4);
  std::vector<int> speeds;
  for (std::size_t at = 8; at + 16 <= valid; at += 16)  // 16-byte descriptors after an 8-byte header
    speeds.push_back(static_cast<int>(std::min<std::uint32_t>(be32(reply, at + 12), INT32_MAX)));
  return speeds;
}

std::vector<int> parseCapabilitiesWriteSpeeds(Bytes reply) {
  const std::size_t valid = validLength(reply, 2);
  if (valid < 8) return {};
  const std::size_t page = 8 + be16(reply, 6);  // after the block descriptors
  if (page + 2 > valid || (reply[page] & 0x3F) != 0x2A) return {};
  const std::size_t end = std::min<std::size_t>(valid, page + 2 + reply[page + 1]);
  std::vector<int> speeds;
  if (page + 32 <= end) {
    const std::size_t count = be16(reply, page + 30);
    for (std::size_t i = 0, at = page + 32; i < count && at + 4 <= end; ++i, at += 4)
      speeds.push_back(static_cast<int>(be16(reply, at + 2)));
  }
  // Drives from before the descriptor list name only their fastest speed.
  if (speeds.empty() && page + 20 <= end) speeds.push_back(static_cast<int>(be16(reply, page + 18)));
  return speeds;
}

std::vector<int> cdSpeedMultiples(const std::vector<int>& rawKBps) {
  std::vector<int> multiples;
  for (int raw : rawKBps) {
    if (raw <= 0) continue;
    // Drives report 16x as 2822 or 2823; the nearest multiple is meant.
    const int multiple = static_cast<int>(std::lround(static_cast<double>(raw) / 176.4));
    if (multiple > 0) multiples.push_back(multiple);
  }
  std::sort(multiples.begin(), multiples.end());
  multiples.erase(std::unique(multiples.begin(), multiples.end()), multiples.end());
  return multiples;
}

SenseMeaning classifySense(Bytes sense) {
  if (sense.empty()) return SenseMeaning::None;
  const int code = sense[0] & 0x7F;
  int key = 0, asc = 0, ascq = 0;
  if ((code == 0x70 || code == 0x71) && sense.size() >= 14) {
    key = sense[2] & 0x0F;
    asc = sense[12];
    ascq = sense[13];
  } else if ((code == 0x72 || code == 0x73) && sense.size() >= 4) {
    key = sense[1] & 0x0F;
    asc = sense[2];
    ascq = sense[3];
  } else {
    return SenseMeaning::Other;
  }
  if (key == 0) return SenseMeaning::None;
  if (asc == 0x3A) return SenseMeaning::NoMedium;
  if (key == 0x06 && asc == 0x28) return SenseMeaning::MediumChanged;
  if (key == 0x02 && asc == 0x04) {
    if (ascq == 0x04 || ascq == 0x07 || ascq == 0x08) return SenseMeaning::LongOperation;
    return SenseMeaning::BecomingReady;
  }
  return SenseMeaning::Other;
}

std::optional<BlockAddress> lastSessionStart(const std::vector<TrackInformation>& tracks) {
  int lastSession = 0;
  for (const auto& t : tracks)
    if (!t.blank) lastSession = std::max(lastSession, t.session);
  for (const auto& t : tracks)
    if (!t.blank && t.session == lastSession) return t.start;
  return std::nullopt;
}

MediumState mediumStateFrom(const DriveReadings& r) {
  MediumState s;
  switch (r.status) {
    case DriveStatus::TrayOpen: s.trayOpen = true; return s;
    case DriveStatus::NoDisc: return s;
    case DriveStatus::NotReady:
      if (r.sense == SenseMeaning::NoMedium) return s;
      if (r.sense == SenseMeaning::LongOperation) {
        s.busy = true;
        s.present = true;
        return s;
      }
      s.transitioning = true;
      return s;
    case DriveStatus::NoInfo:
      // A drive without the status ioctl: a profile other than "none" means a medium.
      if (!r.profile || *r.profile == kProfileNone) return s;
      break;
    case DriveStatus::DiscOk: break;
  }
  s.present = true;

  if (r.profile && *r.profile != kProfileNone) {
    s.kind = kindFromProfile(*r.profile);
  } else if (r.disc) {
    // Old drives without GET CONFIGURATION: judge by what the disc says.
    s.kind = r.disc->erasable ? MediumKind::CDRW
             : r.disc->status == DiscStatus::Complete ? MediumKind::CDROM
                                                       : MediumKind::CDR;
  } else {
    s.kind = MediumKind::CDROM;
  }

  const bool writable = s.kind == MediumKind::CDR || s.kind == MediumKind::CDRW;
  if (r.disc) {
    s.erasable = r.disc->erasable && s.kind == MediumKind::CDRW;
    s.blank = writable && r.disc->status == DiscStatus::Blank;
    s.appendable = writable && (r.disc->status == DiscStatus::Blank || r.disc->status == DiscStatus::Incomplete);
  }

  // The track layout: the drive's track records, else the table of contents.
  const TrackInformation* invisible = nullptr;
  if (!r.tracks.empty()) {
    for (const auto& t : r.tracks) {
      if (t.blank) {
        if (!s.appendable) continue;  // a closed disc has no next track
        invisible = &t;
        const BlockAddress start = t.nwaValid ? t.nextWritable : t.start;
        s.tracks.push_back({start, t.freeBlocks});
      } else {
        s.tracks.push_back({t.start, t.size});
      }
    }
  } else if (r.toc) {
    const auto& toc = *r.toc;
    for (std::size_t i = 0; i < toc.size(); ++i) {
      if (toc[i].track == kLeadOutTrack) continue;
      const BlockCount length = i + 1 < toc.size() ? toc[i + 1].start - toc[i].start : BlockCount{0};
      s.tracks.push_back({toc[i].start, length});
    }
  }

  if (s.appendable) s.writeSpeeds = cdSpeedMultiples(r.writeSpeedsKBps);

  if (s.blank) {
    s.spaceUsed = BlockCount{0};
    s.spaceFree = invisible ? invisible->freeBlocks : BlockCount{0};
  } else if (s.appendable && invisible) {
    s.spaceFree = invisible->freeBlocks;
    s.spaceUsed = BlockCount{(invisible->nwaValid ? invisible->nextWritable : invisible->start).value};
  } else {
    s.spaceFree = BlockCount{0};
    std::int64_t end = 0;
    if (r.toc) {
      for (const auto& e : *r.toc)
        if (e.track == kLeadOutTrack) end = e.start.value;
    }
    if (end == 0)
      for (const auto& t : s.tracks) end = std::max(end, t.start.value + t.length.value);
    s.spaceUsed = BlockCount{end};
  }
  return s;
}

bool sameMediumState(const MediumState& a, const MediumState& b) {
  return a.busy == b.busy && a.transitioning == b.transitioning && a.trayOpen == b.trayOpen &&
         a.present == b.present && a.kind == b.kind && a.erasable == b.erasable && a.blank == b.blank &&
         a.appendable == b.appendable && a.reserved == b.reserved && a.spaceFree == b.spaceFree &&
         a.spaceUsed == b.spaceUsed && a.tracks == b.tracks &&
         (a.readFailure ? a.readFailure->message : "") == (b.readFailure ? b.readFailure->message : "");
}

}  // namespace tessaline::libburn
