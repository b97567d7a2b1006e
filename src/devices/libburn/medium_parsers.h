#pragma once
// Reading a drive's medium without exclusive access: the raw replies of the
// drive (ioctl results and MMC command replies) are turned into a
// MediumState by the pure functions below, so that every step can be checked
// on recorded or hand-made replies. Malformed or short replies give no value
// rather than a guess.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/units.h"
#include "devices/disc_recording_service.h"

namespace tessaline::libburn {

using Bytes = std::span<const std::uint8_t>;

// What the CDROM_DRIVE_STATUS ioctl answered.
enum class DriveStatus { NoInfo, NoDisc, TrayOpen, NotReady, DiscOk };
DriveStatus driveStatusFromIoctl(int result);

// MMC profile numbers of the media we tell apart.
inline constexpr int kProfileNone = 0x00;
inline constexpr int kProfileCdRom = 0x08;
inline constexpr int kProfileCdR = 0x09;
inline constexpr int kProfileCdRw = 0x0A;

// GET CONFIGURATION: the current profile from the feature header.
std::optional<int> parseCurrentProfile(Bytes reply);
MediumKind kindFromProfile(int profile);

// READ DISC INFORMATION.
enum class DiscStatus { Blank = 0, Incomplete = 1, Complete = 2, Other = 3 };
struct DiscInformation {
  bool erasable = false;
  DiscStatus status = DiscStatus::Other;
  int lastSessionState = 0;  // 0 empty, 1 incomplete, 2 damaged, 3 complete
  int firstTrack = 0;
  int sessions = 0;
  int firstTrackInLastSession = 0;
  int lastTrackInLastSession = 0;
};
std::optional<DiscInformation> parseDiscInformation(Bytes reply);

// READ TRACK INFORMATION.
struct TrackInformation {
  int track = 0;
  int session = 0;
  bool blank = false;    // the invisible (next writable) track
  bool damaged = false;
  bool nwaValid = false;
  bool dataTrack = false;
  BlockAddress start;
  BlockAddress nextWritable;
  BlockCount freeBlocks;
  BlockCount size;
};
std::optional<TrackInformation> parseTrackInformation(Bytes reply);

// READ TOC, format 0 (LBA addresses). The lead-out is the entry with track
// number kLeadOutTrack.
inline constexpr int kLeadOutTrack = 0xAA;
struct TocEntry {
  int track = 0;
  bool dataTrack = false;
  BlockAddress start;
};
std::optional<std::vector<TocEntry>> parseToc(Bytes reply);

// The write speeds a drive offers, in kB/s (1000 bytes/s of raw CD data)
// as drives count them: from GET PERFORMANCE's write speed descriptors, which
// are for the medium in the drive, or from MODE SENSE(10) of the
// capabilities page (2Ah), where older drives list theirs.
std::vector<int> parseWriteSpeedDescriptors(Bytes reply);
std::vector<int> parseCapabilitiesWriteSpeeds(Bytes reply);
// Those speeds as CD multiples (176.4 kB/s is single speed), ascending and
// each once; 0 is no speed.
std::vector<int> cdSpeedMultiples(const std::vector<int>& rawKBps);

// The sense data of a failed command, as far as the medium state cares.
enum class SenseMeaning { None, NoMedium, BecomingReady, LongOperation, MediumChanged, Other };
SenseMeaning classifySense(Bytes sense);

// Everything read from a drive in one round.
struct DriveReadings {
  DriveStatus status = DriveStatus::NoInfo;
  SenseMeaning sense = SenseMeaning::None;  // of TEST UNIT READY when not ready
  std::optional<int> profile;
  std::optional<DiscInformation> disc;
  std::vector<TrackInformation> tracks;  // first track to last track of the last session
  std::optional<std::vector<TocEntry>> toc;
  std::vector<int> writeSpeedsKBps;  // read only for a disc that takes a session
};

// The medium as callers see it. busy and reserved come from this process
// (a burn of ours, the reservation) and are set by the writer, except that a
// drive reporting a long operation of another program counts as busy.
MediumState mediumStateFrom(const DriveReadings& readings);

// The start of the first track of the last complete session: the first
// number of mkisofs -C, as burn_disc_get_msc1 answers it.
std::optional<BlockAddress> lastSessionStart(const std::vector<TrackInformation>& tracks);

bool sameMediumState(const MediumState& a, const MediumState& b);

}  // namespace tessaline::libburn
