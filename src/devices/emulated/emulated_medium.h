#pragma once
// The emulated recorder's on-disk model: one folder per writer holding its
// identity, the table of contents of the disc in it, the sparse medium file
// and the lock files that give exclusive access and the media reservation.
//
//   <writers dir>/<name>/writer.json     display name and persistent device number
//   <writers dir>/<name>/toc.json        tray state and the disc: kind, capacity, tracks, closed
//   <writers dir>/<name>/medium.img      the disc's whole block address space (sparse)
//   <writers dir>/<name>/mtab            the writer's mount table
//   <writers dir>/<name>/*.lock          open-file-description locks (fcntl F_OFD_SETLK)

#include <QJsonArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/units.h"
#include "devices/disc_recording_service.h"

namespace tessaline::emulated {

namespace fs = std::filesystem;

// Blank 80-minute CD-R or CD-RW.
inline constexpr BlockCount kCd80Capacity{359847};
// Single-layer DVD (4.7 GB).
inline constexpr BlockCount kDvdCapacity{2295104};
// A track is padded to at least this many blocks, then followed by run-out blocks.
inline constexpr BlockCount kMinTrackLength{300};
inline constexpr BlockCount kRunOutBlocks{2};
// Lead-out, lead-in and pre-gap between sessions: larger after the first.
inline constexpr BlockCount kFirstSessionGap{11400};
inline constexpr BlockCount kLaterSessionGap{6900};
// While a medium is loaded, ejected or the tray moves, the writer reports it
// as transitioning for this long.
inline constexpr std::chrono::milliseconds kTransitionTime{1000};
// Biggest capacity accepted from a table of contents or the command line
// (a dual-layer BD; keeps the byte offsets far from overflow).
inline constexpr BlockCount kMaxCapacity{25'000'000};

// "cd-r", "cd-rw", "cd-rom", "dvd".
std::string mediumKindText(MediumKind kind);
// The tracks as a JSON list of {"start", "length"} in blocks, as the table of
// contents and `writer info --json` write them.
QJsonArray tracksToJson(const std::vector<TrackRecord>& tracks);
std::optional<MediumKind> mediumKindFromText(const std::string& text);
// The write speeds (CD multiples) the emulated writer offers for a medium
// kind, as a drive of today offers them; none for a medium it cannot write.
std::vector<int> emulatedWriteSpeeds(MediumKind kind);

// The disc in a writer.
struct Disc {
  MediumKind kind = MediumKind::CDR;
  BlockCount capacity = kCd80Capacity;
  std::vector<TrackRecord> tracks;  // the written tracks, in order
  bool closed = false;

  bool writable() const { return kind == MediumKind::CDR || kind == MediumKind::CDRW; }
  bool appendable() const { return writable() && !closed; }
  // Where the next session's track begins (meaningful while appendable).
  BlockAddress nextWritable() const;
  BlockCount freeBlocks() const;
  BlockCount usedBlocks() const;
  // mkisofs -C text: "0" for a blank disc, else "LAST_START,NEXT_WRITABLE".
  std::string sessionString() const;
};

// The length a track of `data` blocks occupies, without run-out.
BlockCount paddedTrackLength(BlockCount data);
// What a new session of `data` blocks needs of the free space.
BlockCount sessionFootprint(BlockCount data);

struct Toc {
  bool trayOpen = false;
  std::int64_t changedAtMs = 0;  // last insert, eject or tray move (ms since the epoch)
  std::optional<Disc> disc;
};

std::string serializeToc(const Toc& toc);
// Checks everything a hand edit can break: types, ranges, order and overlap
// of the tracks; the message says what is wrong.
Result<Toc> parseToc(const std::string& json);

// Milliseconds since the epoch.
std::int64_t nowMs();

// Names of writers become folder names: no slashes, no leading dot, no
// control characters, not empty.
Status validateWriterName(const std::string& name);

struct WriterPaths {
  fs::path writersDir;
  std::string name;
  fs::path dir() const { return writersDir / name; }
  fs::path identityFile() const { return dir() / "writer.json"; }
  fs::path tocFile() const { return dir() / "toc.json"; }
  fs::path mediumFile() const { return dir() / "medium.img"; }
  fs::path mountTable() const { return dir() / "mtab"; }
  fs::path exclusiveLock() const { return dir() / "exclusive.lock"; }
  fs::path busyLock() const { return dir() / "busy.lock"; }
  fs::path reservationLock() const { return dir() / "reservation.lock"; }
  fs::path mountLock() const { return dir() / "mount.lock"; }
};

struct Identity {
  QString displayName;
  int number = 0;  // the persistent part of the device name "emu<N>"
  std::string bsdName() const { return "emu" + std::to_string(number); }
};

Result<Identity> readIdentity(const WriterPaths& paths);
std::string identityJson(const Identity& identity);

// The table of contents as stored; a missing or damaged one is an error
// whose message names the writer and the fault.
Result<Toc> readToc(const WriterPaths& paths);
// Replaces the table of contents atomically: temp file, fsync, rename, fsync
// of the folder.
Status writeToc(const WriterPaths& paths, const Toc& toc);
// Same for any small file of the writer folder.
Status writeFileAtomically(const fs::path& path, const std::string& content);

// Checks that the medium file is there and spans what the table of contents
// says has been written.
Status checkMediumFile(const WriterPaths& paths, const Disc& disc);

// A lock on a file of the writer folder, held by one open file (a second
// holder in the same process is refused as well). The holder writes its pid
// into the file so that others can say who holds it.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Tries once; Busy (with the holder's pid) when another holder has it.
  static Result<FileLock> tryLock(const fs::path& file, const std::string& writerName);
  // Waits for the lock.
  static Result<FileLock> lock(const fs::path& file);
  // True when someone (this process included, through another lock) holds it.
  static bool isHeld(const fs::path& file);
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The message for a writer held by another program.
std::string inUseMessage(const std::string& writerName, const fs::path& lockFile);

}  // namespace tessaline::emulated
