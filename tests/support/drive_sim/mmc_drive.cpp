#include "mmc_drive.h"

#include <fcntl.h>
#include <linux/cdrom.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace tessaline::drivesim {
namespace {

using emulated::Disc;
using emulated::Toc;
using Cdb = std::span<const std::uint8_t>;

// Sense codes of the MMC command set.
constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00, {}};
constexpr Sense kInvalidFieldInCdb{0x05, 0x24, 0x00, {}};
constexpr Sense kInvalidFieldInParameters{0x05, 0x26, 0x00, {}};
constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00, {}};
constexpr Sense kInvalidWriteAddress{0x05, 0x21, 0x02, {}};
constexpr Sense kSequenceError{0x05, 0x2C, 0x00, {}};
constexpr Sense kIncompatibleFormat{0x05, 0x30, 0x05, {}};  // cannot write medium
constexpr Sense kIllegalModeForTrack{0x05, 0x64, 0x00, {}};
constexpr Sense kRemovalPrevented{0x05, 0x53, 0x02, {}};
constexpr Sense kNoMediumTrayClosed{0x02, 0x3A, 0x01, {}};
constexpr Sense kNoMediumTrayOpen{0x02, 0x3A, 0x02, {}};
constexpr Sense kBecomingReady{0x02, 0x04, 0x01, {}};
constexpr Sense kLongWriteInProgress{0x02, 0x04, 0x08, {}};
constexpr Sense kIncompatibleMedium{0x02, 0x30, 0x00, {}};
constexpr Sense kUnrecoveredRead{0x03, 0x11, 0x00, {}};
constexpr Sense kWriteError{0x03, 0x0C, 0x00, {}};
constexpr Sense kHardwareError{0x04, 0x44, 0x00, {}};  // internal target failure

// CD speed: 1x is 176.4 kB/s of raw data (MMC counts kilobytes of 1000 bytes).
constexpr int kSpeeds[] = {8467, 5645, 4234, 2822, 1411, 706};
constexpr int kBufferBytes = 2 * 1024 * 1024;

// The ATIP of an 80-minute disc: lead-in from 97:26:66.
constexpr std::uint8_t kLeadInM = 97, kLeadInS = 26, kLeadInF = 66;

const char* commandName(std::uint8_t op) {
  switch (op) {
    case 0x00: return "TEST UNIT READY";
    case 0x03: return "REQUEST SENSE";
    case 0x12: return "INQUIRY";
    case 0x1B: return "START STOP UNIT";
    case 0x1E: return "PREVENT ALLOW MEDIUM REMOVAL";
    case 0x25: return "READ CAPACITY";
    case 0x28: return "READ(10)";
    case 0x2A: return "WRITE(10)";
    case 0x35: return "SYNCHRONIZE CACHE";
    case 0x43: return "READ TOC/PMA/ATIP";
    case 0x46: return "GET CONFIGURATION";
    case 0x4A: return "GET EVENT STATUS NOTIFICATION";
    case 0x51: return "READ DISC INFORMATION";
    case 0x52: return "READ TRACK INFORMATION";
    case 0x55: return "MODE SELECT(10)";
    case 0x5A: return "MODE SENSE(10)";
    case 0x5B: return "CLOSE TRACK/SESSION";
    case 0x5C: return "READ BUFFER CAPACITY";
    case 0xA1: return "BLANK";
    case 0xAC: return "GET PERFORMANCE";
    case 0xBB: return "SET CD SPEED";
    case 0xBD: return "MECHANISM STATUS";
    case 0xBE: return "READ CD";
    default: return nullptr;
  }
}

std::uint32_t be16(Cdb b, std::size_t at) { return (std::uint32_t{b[at]} << 8) | b[at + 1]; }
std::uint32_t be24(Cdb b, std::size_t at) { return (std::uint32_t{b[at]} << 16) | be16(b, at + 1); }
std::uint32_t be32(Cdb b, std::size_t at) { return (std::uint32_t{b[at]} << 24) | be24(b, at + 1); }

// A reply being built, big-endian as SCSI has it.
class Out {
 public:
  // Values are taken modulo the field's width.
  Out& u8(std::int64_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v & 0xFF));
    return *this;
  }
  Out& u16(std::int64_t v) { return u8(v >> 8).u8(v); }
  Out& u24(std::int64_t v) { return u8(v >> 16).u16(v); }
  Out& u32(std::int64_t v) { return u16(v >> 16).u16(v); }
  Out& zeros(std::size_t n) {
    bytes_.insert(bytes_.end(), n, 0);
    return *this;
  }
  Out& text(const char* s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) u8(i < std::strlen(s) ? static_cast<std::uint8_t>(s[i]) : ' ');
    return *this;
  }
  // Block address and MSF time of an address (MSF counts from 150 blocks before block 0).
  Out& msf(std::int64_t lba) {
    const std::int64_t t = lba + 150;
    return u8(0).u8(t / 4500).u8(t / 75 % 60).u8(t % 75);
  }
  Out& address(std::int64_t lba, bool asMsf) { return asMsf ? msf(lba) : u32(lba); }
  void set16(std::size_t at, std::size_t v) {
    bytes_[at] = static_cast<std::uint8_t>(v >> 8);
    bytes_[at + 1] = static_cast<std::uint8_t>(v);
  }
  void set32(std::size_t at, std::size_t v) {
    set16(at, v >> 16);
    set16(at + 2, v & 0xFFFF);
  }
  std::size_t size() const { return bytes_.size(); }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

Reply send(const Out& out, std::span<std::uint8_t> in, std::size_t allocation) {
  const std::size_t n = std::min({out.size(), allocation, in.size()});
  std::memcpy(in.data(), out.bytes().data(), n);
  return Reply{{}, n};
}

Reply fail(Sense s) { return Reply{s, 0}; }

// Where the disc's sessions lie: one track per session, each followed by
// its run-out blocks and then the lead-out.
std::int64_t leadOut(const TrackRecord& t) { return (t.start + t.length + emulated::kRunOutBlocks).value; }
std::int64_t trackSize(const TrackRecord& t) { return (t.length + emulated::kRunOutBlocks).value; }
int sessionCount(const Disc& d) { return static_cast<int>(d.tracks.size()); }
bool hasInvisibleTrack(const Disc& d) { return d.appendable(); }

// Within the short time after an insert, eject or tray move (the emulated
// writer's kTransitionTime) the drive is still loading.
bool transitioning(const Toc& toc) {
  const std::int64_t age = emulated::nowMs() - toc.changedAtMs;
  return age >= 0 && age < emulated::kTransitionTime.count();
}

int profileOf(const Disc& d) {
  switch (d.kind) {
    case MediumKind::CDR: return 0x09;
    case MediumKind::CDRW: return 0x0A;
    case MediumKind::CDROM: return 0x08;
    case MediumKind::Other: break;
  }
  return 0;
}

// --- replies built from the disc ---------------------------------------------

Out discInformation(const Disc& d) {
  const int n = sessionCount(d);
  const bool blank = d.tracks.empty() && d.writable();
  const int status = blank ? 0 : d.appendable() ? 1 : 2;
  const int lastSessionState = d.appendable() ? 0 : 3;
  const int sessions = d.appendable() ? n + 1 : n;
  const int lastTrack = d.appendable() ? n + 1 : n;
  Out o;
  o.u16(32).u8((d.kind == MediumKind::CDRW ? 0x10 : 0) | (lastSessionState << 2) | status).u8(1);
  o.u8(sessions & 0xFF).u8(lastTrack & 0xFF).u8(lastTrack & 0xFF);
  o.u8(0x20).u8(0x00);  // URU; CD-DA or CD-ROM disc type
  o.u8(sessions >> 8).u8(lastTrack >> 8).u8(lastTrack >> 8);
  o.u32(0);  // disc identification
  if (blank) {
    o.u8(0).u8(kLeadInM).u8(kLeadInS).u8(kLeadInF).msf(d.capacity.value);
  } else if (d.appendable()) {
    // The next session's lead-in lies before its pre-gap and first track.
    o.msf(d.nextWritable().value - 150 - 4500).msf(d.capacity.value);
  } else {
    o.u32(0xFFFFFFFF).u32(0xFFFFFFFF);
  }
  o.zeros(8).u8(0).u8(0);  // bar code, application code, OPC tables
  return o;
}

Out trackInformation(const Disc& d, int track) {
  const int n = sessionCount(d);
  Out o;
  o.u16(46).u8(track & 0xFF).u8(track & 0xFF).u8(0);
  if (track <= n) {
    const auto& t = d.tracks[static_cast<std::size_t>(track - 1)];
    o.u8(0x04).u8(0x01).u8(0x00);  // data track, uninterrupted; Mode 1; no next writable address
    o.u32(static_cast<std::uint32_t>(t.start.value)).u32(0).u32(0).u32(0);
    o.u32(static_cast<std::uint32_t>(trackSize(t))).u32(0);
  } else {
    const std::int64_t nwa = d.nextWritable().value;
    o.u8(0x04).u8(0x4F).u8(0x01);  // blank, data mode not yet set; next writable address valid
    o.u32(static_cast<std::uint32_t>(nwa)).u32(static_cast<std::uint32_t>(nwa));
    o.u32(static_cast<std::uint32_t>(d.freeBlocks().value)).u32(0);
    o.u32(static_cast<std::uint32_t>(d.freeBlocks().value)).u32(0);
  }
  o.u8(track >> 8).u8(track >> 8).u16(0).u32(0).u32(0);
  return o;
}

// READ TOC format 0: the tracks from `first` on and the lead-out of the
// last session.
Out tocFormat0(const Disc& d, int first, bool asMsf) {
  const int n = sessionCount(d);
  Out o;
  o.u16(0).u8(1).u8(n);
  for (int i = std::max(first, 1); i <= n && first != 0xAA; ++i)
    o.u8(0).u8(0x14).u8(i).u8(0).address(d.tracks[static_cast<std::size_t>(i - 1)].start.value, asMsf);
  o.u8(0).u8(0x14).u8(0xAA).u8(0).address(leadOut(d.tracks.back()), asMsf);
  o.set16(0, o.size() - 2);
  return o;
}

// READ TOC format 1: the first track of the last complete session.
Out tocFormat1(const Disc& d, bool asMsf) {
  const int n = sessionCount(d);
  Out o;
  o.u16(10).u8(1).u8(n).u8(0).u8(0x14).u8(n).u8(0).address(d.tracks.back().start.value, asMsf);
  return o;
}

// READ TOC format 2, the full table of contents (always MSF): per session
// the points A0, A1, A2 and its track, and while a further session may be
// written the B0 point with where it begins; C0 in the first session.
Out tocFormat2(const Disc& d) {
  const int n = sessionCount(d);
  Out o;
  o.u16(0).u8(1).u8(n);
  auto point = [&](int session, int adrCtrl, int pt, std::int64_t atime, int zero, std::int64_t ptime,
                   std::optional<std::array<int, 3>> raw = std::nullopt) {
    Out a, p;
    a.msf(atime);
    p.msf(ptime);
    o.u8(session).u8(adrCtrl).u8(0).u8(pt).u8(a.bytes()[1]).u8(a.bytes()[2]).u8(a.bytes()[3]).u8(zero);
    if (raw) o.u8((*raw)[0]).u8((*raw)[1]).u8((*raw)[2]);
    else o.u8(p.bytes()[1]).u8(p.bytes()[2]).u8(p.bytes()[3]);
  };
  for (int s = 1; s <= n; ++s) {
    const auto& t = d.tracks[static_cast<std::size_t>(s - 1)];
    point(s, 0x14, 0xA0, -150, 0, 0, std::array<int, 3>{s, 0x00, 0});
    point(s, 0x14, 0xA1, -150, 0, 0, std::array<int, 3>{s, 0, 0});
    point(s, 0x14, 0xA2, -150, 0, leadOut(t));
    point(s, 0x14, s, -150, 0, t.start.value);
    if (d.appendable() && s == n) {
      // The next program area begins with the next track's pre-gap.
      point(s, 0x54, 0xB0, d.nextWritable().value - 150, 2, d.capacity.value);
    }
    if (s == 1 && d.writable())
      point(s, 0x54, 0xC0, -150, 0, 0, std::array<int, 3>{kLeadInM, kLeadInS, kLeadInF});
  }
  o.set16(0, o.size() - 2);
  return o;
}

// READ TOC format 4: the ATIP of a recordable disc.
Out atip(const Disc& d) {
  Out o;
  o.u16(26).u16(0);
  o.u8(0x50 | 0x04);                                        // writing power, reference speed
  o.u8(0x40);                                               // unrestricted use
  o.u8(0x80 | (d.kind == MediumKind::CDRW ? 0x40 : 0x00));  // disc type
  o.u8(0);
  o.u8(kLeadInM).u8(kLeadInS).u8(kLeadInF).u8(0);
  Out end;
  end.msf(d.capacity.value);
  o.u8(end.bytes()[1]).u8(end.bytes()[2]).u8(end.bytes()[3]).u8(0);
  o.zeros(12);  // A1, A2, A3
  return o;
}

// GET CONFIGURATION: the features of a CD writer from `start` on.
Out configuration(const std::optional<Disc>& disc, int rt, int start) {
  const int current = disc ? profileOf(*disc) : 0;
  const bool readable = current != 0;
  const bool writable = disc && disc->appendable();
  Out o;
  o.u32(0).u16(0).u16(static_cast<std::uint32_t>(current));
  auto feature = [&](int code, int version, bool persistent, bool isCurrent, const Out& data) {
    if (code < start) return;
    if (rt == 1 && !isCurrent) return;
    if (rt == 2 && code != start) return;
    o.u16(code).u8((version << 2) | (persistent ? 2 : 0) | (isCurrent ? 1 : 0)).u8(static_cast<std::uint32_t>(data.size()));
    for (const auto b : data.bytes()) o.u8(b);
  };
  Out profiles;
  for (const int p : {0x0A, 0x09, 0x08}) profiles.u16(p).u8(p == current ? 1 : 0).u8(0);
  feature(0x0000, 0, true, true, profiles);
  feature(0x0001, 2, true, true, Out().u32(2).u8(0x01).zeros(3));  // ATAPI
  feature(0x0002, 1, true, true, Out().u8(0x02).zeros(3));
  feature(0x0003, 0, true, true, Out().u8(0x29).zeros(3));         // tray, eject, lock
  feature(0x0010, 0, false, readable, Out().u32(2048).u16(1).u8(0).u8(0));
  feature(0x001D, 0, false, readable, Out());
  feature(0x001E, 2, false, readable, Out().u8(0x00).zeros(3));
  feature(0x002D, 2, false, writable, Out().u8(0x46).u8(0).u16(0x0100));  // BUF, test write, CD-RW; Mode 1
  feature(0x0100, 0, true, true, Out());
  feature(0x0107, 3, true, true, Out().u8(0x02).zeros(3));  // write speed performance descriptors
  o.set32(0, o.size() - 4);
  return o;
}

Out writeParametersPage(int writeType, int multi, int trackMode, int blockType, bool testWrite, bool bufe) {
  Out p;
  p.u8(0x05).u8(0x32);
  p.u8((bufe ? 0x40 : 0) | (testWrite ? 0x10 : 0) | writeType).u8((multi << 6) | trackMode).u8(blockType);
  p.u8(0).u8(0).u8(0).u8(0x00).u8(0).u32(0).u16(150);
  p.zeros(16 + 16 + 4);
  return p;
}

Out capabilitiesPage(int currentWriteSpeed, bool locked) {
  Out p;
  p.u8(0x2A).u8(0);
  // Reads and writes CD-R and CD-RW (and test writes); buffer underrun
  // protection (BUF), multi-session, Mode 2; CD-DA; a tray that ejects and locks.
  p.u8(0x03).u8(0x07).u8(0xF1).u8(0x03).u8(0x29 | (locked ? 0x02 : 0)).u8(0);
  p.u16(7056).u16(256).u16(kBufferBytes / 1024).u16(7056).u8(0).u8(0x10);
  p.u16(static_cast<std::uint32_t>(kSpeeds[0])).u16(static_cast<std::uint32_t>(currentWriteSpeed));
  p.u16(0).zeros(3).u8(0);
  p.u16(static_cast<std::uint32_t>(currentWriteSpeed)).u16(std::size(kSpeeds));
  for (const int s : kSpeeds) p.u8(0).u8(0).u16(static_cast<std::uint32_t>(s));
  Out out;
  const auto& b = p.bytes();
  for (std::size_t i = 0; i < b.size(); ++i) out.u8(i == 1 ? static_cast<std::uint32_t>(b.size() - 2) : b[i]);
  return out;
}

}  // namespace

// --- faults -------------------------------------------------------------------

Result<Faults> parseFaults(const std::string& text) {
  Faults f;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t end = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, end - at);
    at = end + 1;
    if (item.empty()) continue;
    auto number = [&](std::size_t from) -> std::optional<std::int64_t> {
      const std::string digits = item.substr(from);
      if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9)
        return std::nullopt;
      return std::stoll(digits);
    };
    std::optional<std::int64_t> value;
    if (item == "loading" || item == "no-performance" || item == "no-disc-info") {
      (item == "loading" ? f.loading : item == "no-performance" ? f.noPerformance : f.noDiscInfo) = true;
      continue;
    }
    if (item.rfind("write-error@", 0) == 0 && (value = number(12))) f.writeErrorAt = value;
    else if (item.rfind("removed@", 0) == 0 && (value = number(8))) f.removedAt = value;
    else if (item.rfind("corrupt@", 0) == 0 && (value = number(8))) f.corruptAt = value;
    else if (item.rfind("slow=", 0) == 0 && (value = number(5))) f.slowMs = static_cast<int>(*value);
    else if (item.rfind("slow-close=", 0) == 0 && (value = number(11))) f.slowCloseMs = static_cast<int>(*value);
    else return makeError(ErrorKind::InvalidInput, "unknown fault '" + item + "'");
  }
  return f;
}

// --- the drive ----------------------------------------------------------------

// The track being written: the medium file, where the data goes, and the
// busy mark other programs see meanwhile.
struct Drive::OpenTrack {
  Toc toc;
  int fd = -1;
  emulated::TrackWriter writer;
  emulated::FileLock busy;
  bool failed = false;  // a write went wrong: the track is never recorded
  ~OpenTrack() {
    if (fd >= 0) ::close(fd);
  }
};

Drive::Drive(emulated::WriterPaths paths, std::string name, Faults faults, std::string log)
    : paths_(std::move(paths)), name_(std::move(name)), faults_(faults), logFile_(std::move(log)) {}

Drive::~Drive() = default;

void Drive::log(const std::string& line) const {
  if (logFile_.empty()) return;
  const std::string text = std::to_string(::getpid()) + " " + name_ + " " + line + "\n";
  const int fd = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
  ::close(fd);
}

Result<Toc> Drive::toc() const {
  if (track_) return track_->toc;
  return emulated::readToc(paths_);
}

std::optional<Sense> Drive::notReady(const Toc& toc) const {
  if (toc.trayOpen) return kNoMediumTrayOpen;
  if (!toc.disc) return kNoMediumTrayClosed;
  if (faults_.loading || transitioning(toc)) return kBecomingReady;
  if (!track_ && emulated::FileLock::isHeld(paths_.busyLock())) return kLongWriteInProgress;
  if (toc.disc->kind == MediumKind::Other) return kIncompatibleMedium;
  return std::nullopt;
}

int Drive::driveStatus() {
  std::lock_guard lock(mutex_);
  const auto t = toc();
  if (!t) return CDS_NO_INFO;
  if (t.value().trayOpen) return CDS_TRAY_OPEN;
  if (!t.value().disc) return CDS_NO_DISC;
  if (faults_.loading || transitioning(t.value())) return CDS_DRIVE_NOT_READY;
  return CDS_DISC_OK;
}

bool Drive::mediumChanged() {
  std::lock_guard lock(mutex_);
  const auto t = toc();
  const std::int64_t changed = t ? t.value().changedAtMs : 0;
  const bool answer = lastChangeSeen_ >= 0 && changed != lastChangeSeen_;
  lastChangeSeen_ = changed;
  return answer;
}

bool Drive::moveTray(bool open) {
  std::lock_guard lock(mutex_);
  if (open && removalPrevented_) return false;
  dropTrack();
  auto t = emulated::readToc(paths_);
  if (!t) return false;
  Toc next = t.value();
  if (next.trayOpen == open) return true;
  next.trayOpen = open;
  next.changedAtMs = emulated::nowMs();
  return emulated::writeToc(paths_, next).ok();
}

Result<std::shared_ptr<emulated::FileLock>> Drive::takeExclusive() {
  auto held = emulated::FileLock::tryLock(paths_.exclusiveLock(), name_);
  if (!held) return held.error();
  return std::make_shared<emulated::FileLock>(std::move(held.value()));
}

std::int64_t Drive::deviceBytes() {
  std::lock_guard lock(mutex_);
  const auto t = toc();
  if (!t || notReady(t.value()) || t.value().disc->tracks.empty()) return 0;
  return leadOut(t.value().disc->tracks.back()) * 2048;
}

long Drive::readDevice(std::int64_t offset, void* buffer, std::size_t size) {
  const std::int64_t end = deviceBytes();
  if (offset >= end || size == 0) return 0;
  const auto n = static_cast<std::size_t>(std::min<std::int64_t>(end - offset, static_cast<std::int64_t>(size)));
  const int fd = ::open(paths_.mediumFile().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t got = ::pread(fd, buffer, n, static_cast<off_t>(offset));
  ::close(fd);
  if (got < 0) errno = EIO;
  return got;
}

void Drive::lastHandleClosed() {
  std::lock_guard lock(mutex_);
  dropTrack();
  sessionPending_ = false;
}

void Drive::dropTrack() {
  if (track_) log("track given up at block " + std::to_string(track_->writer.nextBlock().value));
  track_.reset();
}

Reply Drive::execute(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> dataIn,
                     std::span<const std::uint8_t> dataOut) {
  std::lock_guard lock(mutex_);
  Reply r = cdb.empty() ? fail(kInvalidOpcode) : run(cdb, dataIn, dataOut);
  if (!cdb.empty()) {
    const char* name = commandName(cdb[0]);
    char detail[96] = "";
    // A command cut short was refused above and has no fields to log.
    const bool whole = cdb.size() >= 10;
    if (whole && (cdb[0] == 0x28 || cdb[0] == 0x2A))
      std::snprintf(detail, sizeof detail, " lba=%u blocks=%u", be32(cdb, 2), be16(cdb, 7));
    else if (whole && (cdb[0] == 0x43 || cdb[0] == 0x46 || cdb[0] == 0x5A || cdb[0] == 0x5B || cdb[0] == 0x52 ||
                       cdb[0] == 0xA1))
      std::snprintf(detail, sizeof detail, " %02x %02x %02x", cdb[1], cdb[2], cdb[5]);
    char sense[32] = "GOOD";
    if (!r.sense.good()) std::snprintf(sense, sizeof sense, "%X/%02X/%02X", r.sense.key, r.sense.asc, r.sense.ascq);
    log("cmd\t" + std::string(name ? name : "UNKNOWN " + std::to_string(cdb[0])) + "\t" + detail + " " + sense);
  }
  if (cdb.empty() || cdb[0] != 0x03) lastSense_ = r.sense;
  return r;
}

Reply Drive::run(Cdb cdb, std::span<std::uint8_t> in, std::span<const std::uint8_t> out) {
  const std::uint8_t op = cdb[0];
  const std::size_t cdbSize = op < 0x20 ? 6 : op < 0x60 ? 10 : 12;
  if (cdb.size() < cdbSize) return fail(kInvalidFieldInCdb);
  // A six-byte command has no bytes 7 and 8.
  const std::size_t alloc10 = cdbSize >= 10 ? be16(cdb, 7) : 0;

  // Commands that need no medium.
  switch (op) {
    case 0x12: {  // INQUIRY
      if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) return fail(kInvalidFieldInCdb);
      Out o;
      o.u8(0x05).u8(0x80).u8(0x05).u8(0x02).u8(31).u8(0).u8(0).u8(0);
      // The model is not left-aligned, as some drives give it.
      o.text("TESSALIN", 8).text(" Simulated CD-RW", 16).text("1.0", 4);
      return send(o, in, be16(cdb, 3));
    }
    case 0x03: {  // REQUEST SENSE
      Sense s = lastSense_;
      if (s.good()) {
        if (auto t = toc(); t) s = notReady(t.value()).value_or(Sense{});
      }
      lastSense_ = Sense{};
      Out o;
      o.u8(s.information ? 0xF0 : 0x70).u8(0).u8(s.key).u32(s.information.value_or(0)).u8(10).u32(0);
      o.u8(s.asc).u8(s.ascq).u8(0).zeros(3);
      return send(o, in, cdb[4]);
    }
    case 0x46: {  // GET CONFIGURATION
      auto t = toc();
      std::optional<Disc> disc;
      if (t && !notReady(t.value())) disc = t.value().disc;
      if ((cdb[1] & 0x03) == 3) return fail(kInvalidFieldInCdb);
      return send(configuration(disc, cdb[1] & 0x03, static_cast<int>(be16(cdb, 2))), in, alloc10);
    }
    case 0x4A: {  // GET EVENT STATUS NOTIFICATION (polled only)
      if ((cdb[1] & 0x01) == 0) return fail(kInvalidFieldInCdb);
      Out o;
      if ((cdb[4] & 0x10) == 0) {
        o.u16(2).u8(0x80).u8(0x10);
        return send(o, in, alloc10);
      }
      auto t = toc();
      const bool open = t && t.value().trayOpen;
      const bool present = t && t.value().disc && !open;
      o.u16(6).u8(0x04).u8(0x10).u8(0).u8((present ? 0x02 : 0) | (open ? 0x01 : 0)).u8(0).u8(0);
      return send(o, in, alloc10);
    }
    case 0x5A: {  // MODE SENSE(10)
      const int page = cdb[2] & 0x3F;
      const int control = cdb[2] >> 6;
      if (control == 3) return fail(Sense{0x05, 0x39, 0x00, {}});  // saving parameters not supported
      Out o;
      o.u16(0).u8(0).u8(0).u16(0).u16(0);
      auto addPage = [&](const Out& p) {
        for (const auto b : p.bytes()) o.u8(b);
      };
      if (page == 0x05 || page == 0x3F) {
        if (control == 1) {
          Out mask = writeParametersPage(0x0F, 3, 0x0F, 0x0F, true, true);
          addPage(mask);
        } else if (control == 2) {
          addPage(writeParametersPage(1, 0, 4, 8, false, false));
        } else {
          addPage(writeParametersPage(params_.writeType, params_.multiSession, params_.trackMode,
                                      params_.dataBlockType, params_.testWrite, params_.bufe));
        }
      }
      if (page == 0x2A || page == 0x3F) {
        Out caps = capabilitiesPage(writeSpeedKBps_ > 0 ? writeSpeedKBps_ : kSpeeds[0], removalPrevented_);
        if (control == 1) {
          Out none;
          none.u8(0x2A).u8(static_cast<std::uint32_t>(caps.size() - 2)).zeros(caps.size() - 2);
          caps = none;
        }
        addPage(caps);
      }
      if (o.size() == 8) return fail(kInvalidFieldInCdb);
      o.set16(0, o.size() - 2);
      return send(o, in, alloc10);
    }
    case 0x55:  // MODE SELECT(10)
      return modeSelect(out);
    case 0xAC: {  // GET PERFORMANCE
      if (faults_.noPerformance) return fail(kInvalidOpcode);
      const int type = cdb[10];
      const std::size_t max = be16(cdb, 8);
      Out o;
      o.u32(0).u8((cdb[1] & 0x04) != 0 ? 0x02 : 0).zeros(3);
      auto t = toc();
      const std::int64_t end = t && t.value().disc ? t.value().disc->capacity.value - 1 : 359846;
      if (type == 0x03) {
        for (std::size_t i = 0; i < std::size(kSpeeds) && i < max; ++i)
          o.u8(0x00).zeros(3).u32(static_cast<std::uint32_t>(end)).u32(7056).u32(static_cast<std::uint32_t>(kSpeeds[i]));
      } else if (type == 0x00) {
        const int speed = (cdb[1] & 0x04) != 0 ? (writeSpeedKBps_ > 0 ? writeSpeedKBps_ : kSpeeds[0]) : 7056;
        if (max > 0) o.u32(0).u32(static_cast<std::uint32_t>(speed)).u32(static_cast<std::uint32_t>(end)).u32(static_cast<std::uint32_t>(speed));
      } else {
        return fail(kInvalidFieldInCdb);
      }
      o.set32(0, o.size() - 4);
      return send(o, in, in.size());
    }
    case 0xBB:  // SET CD SPEED
      writeSpeedKBps_ = be16(cdb, 4) == 0xFFFF ? kSpeeds[0] : static_cast<int>(be16(cdb, 4));
      return {};
    case 0xBD: {  // MECHANISM STATUS
      auto t = toc();
      const bool open = t && t.value().trayOpen;
      Out o;
      o.u8(0).u8((track_ ? 0x60 : 0x00) | (open ? 0x10 : 0)).u24(0).u8(0).u16(0);
      return send(o, in, be16(cdb, 8));
    }
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
      removalPrevented_ = (cdb[4] & 0x01) != 0;
      return {};
    case 0x1B:  // START STOP UNIT
      return startStop(cdb);
    case 0x5C: {  // READ BUFFER CAPACITY
      Out o;
      if ((cdb[1] & 0x01) != 0) o.u16(10).u16(0).u32(0).u32(kBufferBytes / 2048);
      else o.u16(10).u16(0).u32(kBufferBytes).u32(kBufferBytes);
      return send(o, in, alloc10);
    }
    default: break;
  }
  if (!commandName(op)) return fail(kInvalidOpcode);

  // Commands on the medium.
  auto t = toc();
  if (!t) return fail(kHardwareError);
  if (auto s = notReady(t.value())) return fail(*s);
  const Disc& d = *t.value().disc;
  const bool msf = (cdb[1] & 0x02) != 0;
  switch (op) {
    case 0x00:  // TEST UNIT READY
    case 0x35:  // SYNCHRONIZE CACHE
      if (op == 0x35 && track_ && ::fdatasync(track_->fd) != 0) return fail(kWriteError);
      return {};
    case 0x25: {  // READ CAPACITY
      Out o;
      o.u32(d.tracks.empty() ? 0 : static_cast<std::uint32_t>(leadOut(d.tracks.back()) - 1)).u32(2048);
      return send(o, in, 8);
    }
    case 0x51:  // READ DISC INFORMATION
      if ((cdb[1] & 0x07) != 0 || faults_.noDiscInfo) return fail(kInvalidFieldInCdb);
      return send(discInformation(d), in, alloc10);
    case 0x52: {  // READ TRACK INFORMATION
      const std::int64_t number = be32(cdb, 2);
      const int n = sessionCount(d);
      const int invisible = hasInvisibleTrack(d) ? n + 1 : -1;
      int track = -1;
      switch (cdb[1] & 0x03) {
        case 0:  // by block address
          for (int i = 1; i <= n; ++i)
            if (number >= d.tracks[static_cast<std::size_t>(i - 1)].start.value) track = i;
          if (invisible > 0 && number >= d.nextWritable().value) track = invisible;
          else if (track > 0 && number >= leadOut(d.tracks[static_cast<std::size_t>(track - 1)])) track = -1;
          break;
        case 1:  // by track number; 0xFF is the invisible track
          track = number == 0xFF ? invisible : static_cast<int>(number);
          break;
        case 2:  // by session number: its first track
          track = static_cast<int>(number);
          break;
        default: return fail(kInvalidFieldInCdb);
      }
      if (track < 1 || (track > n && track != invisible)) return fail(kInvalidFieldInCdb);
      return send(trackInformation(d, track), in, alloc10);
    }
    case 0x43: {  // READ TOC/PMA/ATIP
      const int format = cdb[2] & 0x0F;
      if (format == 4) {
        if (!d.writable()) return fail(kInvalidFieldInCdb);
        return send(atip(d), in, alloc10);
      }
      if (d.tracks.empty()) return fail(kInvalidFieldInCdb);  // a blank disc has no table of contents
      if (format == 0) {
        const int first = cdb[6];
        if (first != 0xAA && first > sessionCount(d)) return fail(kInvalidFieldInCdb);
        return send(tocFormat0(d, first, msf), in, alloc10);
      }
      if (format == 1) return send(tocFormat1(d, msf), in, alloc10);
      if (format == 2) return send(tocFormat2(d), in, alloc10);
      return fail(kInvalidFieldInCdb);
    }
    case 0x28:  // READ(10)
      return readBlocks(be32(cdb, 2), be16(cdb, 7), in);
    case 0xBE: {  // READ CD: user data of Mode 1 sectors only
      const int type = (cdb[1] >> 2) & 0x07;
      if (type != 0 && type != 2) return fail(kIllegalModeForTrack);
      if (cdb[9] != 0x10 || (cdb[10] & 0x07) != 0) return fail(kInvalidFieldInCdb);
      return readBlocks(be32(cdb, 2), be24(cdb, 6), in);
    }
    case 0x2A:  // WRITE(10)
      return writeBlocks(cdb, out);
    case 0x5B:  // CLOSE TRACK/SESSION
      return closeTrackOrSession(cdb);
    case 0xA1:  // BLANK
      if ((cdb[1] & 0x07) > 1) return fail(kInvalidFieldInCdb);
      return blank();
    default: return fail(kInvalidOpcode);
  }
}

Reply Drive::readBlocks(std::int64_t lba, std::int64_t count, std::span<std::uint8_t> in) {
  if (faults_.slowMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.slowMs));
  if (count == 0) return {};
  if (static_cast<std::size_t>(count) * 2048 > in.size()) return fail(kInvalidFieldInCdb);
  auto t = toc();
  const Disc& d = *t.value().disc;
  // Readable: the written tracks (not their run-out) and what the open track holds so far.
  bool inside = false;
  for (const auto& tr : d.tracks)
    inside = inside || (lba >= tr.start.value && lba + count <= (tr.start + tr.length).value);
  if (track_)
    inside = inside || (lba >= track_->writer.start().value && lba + count <= track_->writer.nextBlock().value);
  if (!inside) return fail(kLbaOutOfRange);
  const int fd = ::open(paths_.mediumFile().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(kUnrecoveredRead);
  const auto bytes = static_cast<std::size_t>(count * 2048);
  std::size_t have = 0;
  while (have < bytes) {
    const ssize_t n = ::pread(fd, in.data() + have, bytes - have, static_cast<off_t>(lba * 2048) + static_cast<off_t>(have));
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (have < bytes) return fail(Sense{0x03, 0x11, 0x00, static_cast<std::uint32_t>(lba + static_cast<std::int64_t>(have / 2048))});
  return Reply{{}, bytes};
}

Reply Drive::writeBlocks(Cdb cdb, std::span<const std::uint8_t> out) {
  const std::int64_t lba = be32(cdb, 2);
  const std::int64_t count = be16(cdb, 7);
  if (faults_.slowMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.slowMs));
  if (params_.writeType != 1) return fail(kSequenceError);  // only Track At Once is implemented
  if (params_.dataBlockType != 8) return fail(kIllegalModeForTrack);
  if (out.size() != static_cast<std::size_t>(count) * 2048) return fail(kInvalidFieldInCdb);
  if (!track_) {
    auto t = emulated::readToc(paths_);
    if (!t) return fail(kHardwareError);
    const Disc& d = *t.value().disc;
    if (!d.appendable()) return fail(kIncompatibleFormat);
    if (lba != d.nextWritable().value) return fail(kInvalidWriteAddress);
    auto busy = emulated::FileLock::tryLock(paths_.busyLock(), name_);
    if (!busy) return fail(kLongWriteInProgress);
    auto track = std::make_unique<OpenTrack>();
    track->toc = t.value();
    track->fd = ::open(paths_.mediumFile().c_str(), O_RDWR | O_CLOEXEC);
    if (track->fd < 0) return fail(kHardwareError);
    auto writer = emulated::TrackWriter::start(track->fd, d);
    if (!writer) return fail(kHardwareError);
    track->writer = std::move(writer.value());
    track->busy = std::move(busy.value());
    track_ = std::move(track);
    sessionPending_ = false;
    // What the host asked for, for those who check how a session was written.
    log("track\tat " + std::to_string(lba) + (params_.multiSession == 3 ? ", multi-session" : ", single session") +
        (params_.bufe ? ", underrun protection" : "") + ", " + std::to_string(writeSpeedKBps_) + " kB/s");
  }
  OpenTrack& tr = *track_;
  if (tr.failed) return fail(kWriteError);
  if (lba != tr.writer.nextBlock().value) return fail(kInvalidWriteAddress);
  if (count + emulated::kRunOutBlocks.value > tr.writer.room().value) return fail(kLbaOutOfRange);
  const std::int64_t end = lba + count;
  if (faults_.removedAt && *faults_.removedAt < end) {
    // Pulled out mid-write: the tray is open and the disc in it keeps only
    // its earlier sessions.
    log("disc removed at block " + std::to_string(std::max(lba, *faults_.removedAt)));
    Toc next = tr.toc;
    track_.reset();
    next.trayOpen = true;
    next.changedAtMs = emulated::nowMs();
    (void)emulated::writeToc(paths_, next);
    return fail(kNoMediumTrayOpen);
  }
  if (faults_.writeErrorAt && *faults_.writeErrorAt >= lba && *faults_.writeErrorAt < end) {
    tr.failed = true;
    return fail(Sense{kWriteError.key, kWriteError.asc, kWriteError.ascq, static_cast<std::uint32_t>(*faults_.writeErrorAt)});
  }
  if (params_.testWrite) return {};  // a test write records nothing
  if (Status s = tr.writer.append(std::as_bytes(out)); !s) {
    tr.failed = true;
    return fail(kWriteError);
  }
  if (faults_.corruptAt && *faults_.corruptAt >= lba && *faults_.corruptAt < end) {
    std::uint8_t byte = 0;
    const off_t at = static_cast<off_t>(*faults_.corruptAt * 2048 + 100);
    if (::pread(tr.fd, &byte, 1, at) == 1) {
      byte ^= 0xFF;
      [[maybe_unused]] const ssize_t n = ::pwrite(tr.fd, &byte, 1, at);
    }
  }
  return {};
}

Reply Drive::closeTrackOrSession(Cdb cdb) {
  const int function = cdb[2] & 0x07;
  if (function != 1 && function != 2) return fail(kInvalidFieldInCdb);
  if (faults_.slowCloseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.slowCloseMs));
  if (track_) {
    std::unique_ptr<OpenTrack> tr = std::move(track_);
    if (tr->failed) return fail(kSequenceError);
    if (!params_.testWrite) {
      const Disc withTrack = tr->writer.finished(false);
      auto recorded = emulated::commitTrack(paths_, tr->fd, tr->toc, withTrack);
      if (!recorded) return fail(kWriteError);
      sessionPending_ = true;
    }
  }
  if (function == 2 && sessionPending_) {
    sessionPending_ = false;
    // Multi-session field 11b lets a further session follow; anything else closes the disc.
    if (params_.multiSession != 3) {
      auto t = emulated::readToc(paths_);
      if (!t) return fail(kHardwareError);
      Toc next = t.value();
      next.disc->closed = true;
      if (!emulated::writeToc(paths_, next)) return fail(kWriteError);
    }
  }
  return {};
}

Reply Drive::blank() {
  auto t = toc();
  if (t.value().disc->kind != MediumKind::CDRW) return fail(kIncompatibleFormat);
  dropTrack();
  if (Status s = emulated::eraseDisc(paths_, emulated::WriteControl{}); !s) return fail(kWriteError);
  return {};
}

Reply Drive::startStop(Cdb cdb) {
  const bool loej = (cdb[4] & 0x02) != 0;
  const bool start = (cdb[4] & 0x01) != 0;
  if (!loej) return {};
  if (!start && removalPrevented_) return fail(kRemovalPrevented);
  dropTrack();
  auto t = emulated::readToc(paths_);
  if (!t) return fail(kHardwareError);
  Toc next = t.value();
  if (next.trayOpen != !start) {
    next.trayOpen = !start;
    next.changedAtMs = emulated::nowMs();
    if (!emulated::writeToc(paths_, next)) return fail(kHardwareError);
  }
  return {};
}

Reply Drive::modeSelect(std::span<const std::uint8_t> data) {
  if (data.size() < 8) return fail(kInvalidFieldInParameters);
  std::size_t at = 8 + be16(data, 6);
  while (at + 2 <= data.size()) {
    const int page = data[at] & 0x3F;
    const std::size_t length = data[at + 1];
    if (at + 2 + length > data.size()) return fail(kInvalidFieldInParameters);
    if (page == 0x05 && length >= 8) {
      WriteParameters p;
      p.bufe = (data[at + 2] & 0x40) != 0;
      p.testWrite = (data[at + 2] & 0x10) != 0;
      p.writeType = data[at + 2] & 0x0F;
      p.multiSession = data[at + 3] >> 6;
      p.trackMode = data[at + 3] & 0x0F;
      p.dataBlockType = data[at + 4] & 0x0F;
      if (p.writeType > 3 || p.multiSession == 2) return fail(kInvalidFieldInParameters);
      params_ = p;
    } else if (page != 0x2A) {
      return fail(kInvalidFieldInParameters);
    }
    at += 2 + length;
  }
  return {};
}

}  // namespace tessaline::drivesim
