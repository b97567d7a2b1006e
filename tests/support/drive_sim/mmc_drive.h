#pragma once
// A CD writer as the MMC command set describes it, on the emulated
// recorder's medium: the same folder, medium file, table of contents and
// session arithmetic as the emulated writer, so that a disc written by one
// reads back the same through the other. The preload library (sim_preload.cpp)
// puts it behind device nodes such as /dev/sr0.
//
// One track per session, Mode 1 data, Track At Once: what Tessaline, cdrskin
// and wodim write on a CD-R or CD-RW. A track is recorded when it is closed;
// a write that fails or is cut short leaves the table of contents as it was.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "common/result.h"
#include "devices/emulated/emulated_burner.h"
#include "devices/emulated/emulated_medium.h"

namespace tessaline::drivesim {

// Sense key, additional sense code and qualifier of a failed command; key 0
// is GOOD. information, when set, names the block a medium error concerns.
struct Sense {
  std::uint8_t key = 0, asc = 0, ascq = 0;
  std::optional<std::uint32_t> information;
  bool good() const { return key == 0; }
};

// What the drive can be told to do wrong (TESSALINE_DRIVE_SIM_FAULTS).
struct Faults {
  std::optional<std::int64_t> writeErrorAt;  // MEDIUM ERROR on the WRITE that covers this block
  std::optional<std::int64_t> removedAt;     // the disc is pulled out when a WRITE reaches this block
  std::optional<std::int64_t> corruptAt;     // a byte of this block changes once it is written
  bool loading = false;                      // NOT READY, becoming ready, for ever
  bool noPerformance = false;                // an older drive: no GET PERFORMANCE
  bool noDiscInfo = false;                   // READ DISC INFORMATION refused, as some drives do
  int slowMs = 0;                            // each READ and WRITE takes this much longer
  int slowCloseMs = 0;                       // each CLOSE TRACK/SESSION takes this long, as fixing a disc does
};
// "write-error@N,removed@N,corrupt@N,loading,no-performance,no-disc-info,slow=MS,slow-close=MS", any of them.
Result<Faults> parseFaults(const std::string& text);

struct Reply {
  Sense sense;
  std::size_t length = 0;  // bytes placed in the data-in buffer
};

class Drive {
 public:
  // log: a file that gets one line per command (empty: no log).
  Drive(emulated::WriterPaths paths, std::string name, Faults faults, std::string log);
  ~Drive();
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;

  // One command through SG_IO: the CDB, the buffer for data the drive sends
  // and the data the host sends.
  Reply execute(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> dataIn,
                std::span<const std::uint8_t> dataOut);
  // The answer of CDROM_DRIVE_STATUS (CDS_*).
  int driveStatus();
  // CDROM_MEDIA_CHANGED: whether the medium changed since the last asking.
  bool mediumChanged();
  // The eject and close-tray ioctls; false when removal is prevented.
  bool moveTray(bool open);
  // An exclusive open (O_EXCL): the writer's exclusive lock. Busy when
  // another program holds the drive.
  Result<std::shared_ptr<emulated::FileLock>> takeExclusive();
  // The block device's view of the disc, as the kernel's sr driver gives it
  // to read(): the bytes up to the last session's lead-out.
  std::int64_t deviceBytes();
  // Reads at a byte offset of the block device; 0 at its end, -1 with errno.
  long readDevice(std::int64_t offset, void* buffer, std::size_t size);
  // The last descriptor of this process on the drive was closed: a track
  // still open is given up, as when the host goes away mid-write.
  void lastHandleClosed();
  const std::string& name() const { return name_; }

 private:
  struct OpenTrack;
  struct WriteParameters {
    int writeType = 1;     // Track At Once
    int multiSession = 0;  // 3: a further session may follow
    int trackMode = 4;
    int dataBlockType = 8;  // Mode 1, 2048 bytes
    bool testWrite = false;
    bool bufe = false;
  };

  Reply run(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> in, std::span<const std::uint8_t> out);
  std::optional<Sense> notReady(const emulated::Toc& toc) const;
  Result<emulated::Toc> toc() const;
  Reply writeBlocks(std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> out);
  Reply readBlocks(std::int64_t lba, std::int64_t count, std::span<std::uint8_t> in);
  Reply closeTrackOrSession(std::span<const std::uint8_t> cdb);
  Reply blank();
  Reply startStop(std::span<const std::uint8_t> cdb);
  Reply modeSelect(std::span<const std::uint8_t> out);
  void dropTrack();
  void log(const std::string& line) const;

  emulated::WriterPaths paths_;
  std::string name_;
  Faults faults_;
  std::string logFile_;
  std::mutex mutex_;
  Sense lastSense_;
  WriteParameters params_;
  std::unique_ptr<OpenTrack> track_;
  bool sessionPending_ = false;  // a track was recorded; CLOSE SESSION decides whether the disc closes
  bool removalPrevented_ = false;
  int writeSpeedKBps_ = 0;
  std::int64_t lastChangeSeen_ = -1;
};

}  // namespace tessaline::drivesim
