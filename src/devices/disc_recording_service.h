#pragma once
// The disc recording service: writers, the state of their media, exclusive
// access and reservation, notifications, burning a track fed by a producer,
// and erasing. Two backends implement it: the emulated recorder
// (devices/emulated) and real drives through libburn (devices/libburn).

#include <QObject>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/track_producer.h"
#include "common/units.h"

namespace tessaline {

enum class MediumKind { CDR, CDRW, CDROM, Other };

// One track of the disc's table of contents.
struct TrackRecord {
  BlockAddress start;
  BlockCount length;
  friend bool operator==(const TrackRecord&, const TrackRecord&) = default;
};

// A snapshot of a writer's medium, read in one go.
struct MediumState {
  bool busy = false;           // the writer is working (burning, erasing)
  bool transitioning = false;  // a medium is being loaded or ejected
  bool trayOpen = false;
  bool present = false;
  MediumKind kind = MediumKind::Other;
  bool erasable = false;
  bool blank = false;
  bool appendable = false;  // takes a further session
  bool reserved = false;    // the medium is reserved for this process
  BlockCount spaceFree;
  BlockCount spaceUsed;
  // The disc's tracks in order. On a blank or appendable disc the last entry
  // is the next writable track: its start is where the next session begins.
  std::vector<TrackRecord> tracks;
  // Where the disc's last session starts, when the writer knows it; a
  // session of several tracks (written by another program) starts before
  // its last track. Absent: the last written track's start.
  std::optional<BlockAddress> lastSessionStart;
  // What the last session holds, when the writer can read it without
  // mounting (the emulated writer can; a drive in use by the system may not).
  enum class SessionFormat { Unknown, Iso9660, Other };
  SessionFormat lastSessionFormat = SessionFormat::Unknown;
  // The ISO 9660 volume identifier of the last session, trailing blanks
  // trimmed (meaningful with SessionFormat::Iso9660).
  std::string volumeId;
  // Why the disc's volume could not be mounted (a damaged disc, no room to
  // unpack it, ...), when the writer knows; the writer does not try again
  // until the disc changes.
  std::optional<Error> mountFailure;
  // Why the writer could not be read at all (no permission to use the drive,
  // ...): nothing is known of its disc then, which is not "no disc".
  std::optional<Error> readFailure;
  // The write speeds the writer allows for this medium, as CD multiples
  // (1x = 150 KB/s of user data), ascending. Empty: not known (a real drive
  // tells them only once it has been taken for a burn or an erase) or the
  // medium takes no writing.
  std::vector<int> writeSpeeds;

  // Sessions written on the disc: its tracks, less the next writable one.
  int writtenTracks() const {
    const auto n = static_cast<int>(tracks.size());
    return appendable || blank ? std::max(0, n - 1) : n;
  }
};

// A mounted volume: what /proc/self/mounts says of it.
struct MountEntry {
  std::string mountedFrom;  // e.g. "/dev/sr0"
  std::string mountPoint;
  std::string type;         // e.g. "iso9660"
  friend bool operator==(const MountEntry&, const MountEntry&) = default;
};

enum class VerificationType { None, ProduceAgain };

// Properties of the single data track of a burn (CD-ROM Mode 1).
struct TrackProperties {
  BlockCount length;
  std::uint16_t blockSize = 2048;
  int dataForm = 0x10;
  int blockType = 8;
  int trackMode = 4;
  int sessionFormat = 0;
  VerificationType verificationType = VerificationType::ProduceAgain;
  int rockRidgeExtensions = 1;
  int isoLevel = 2;
};

struct BurnSettings {
  bool mountOnCompletion = true;
  bool underrunProtection = true;
  std::optional<float> requestedSpeedKBps;  // absent: as fast as the drive goes
  bool appendable = true;
  bool verify = true;
};

enum class JobPhase { Preparing, Writing, Verifying, Finishing, Succeeded, Failed, Cancelled };

struct JobStatus {
  JobPhase phase = JobPhase::Preparing;
  double percent = 0.0;  // of the current phase, 0 to 100
  std::optional<Error> error;  // set whenever a job ends Failed or Cancelled
  // The burn's session is whole on the disc, whatever came after it (a
  // verification stopped or failed).
  bool sessionRecorded = false;
  bool finished() const {
    return phase == JobPhase::Succeeded || phase == JobPhase::Failed || phase == JobPhase::Cancelled;
  }
};

// A running burn or erase. Its status may be polled from the main thread at
// any time; finished() is emitted once, on the main thread.
class Job : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  virtual JobStatus status() const = 0;
  virtual void cancel() = 0;
 Q_SIGNALS:
  void finished();
};

class Writer {
 public:
  virtual ~Writer() = default;

  virtual QString displayName() const = 0;
  virtual std::string ioRegistryEntryPath() const = 0;  // unique and stable while connected
  virtual std::string bsdName() const = 0;              // device node name under /dev
  virtual std::string toolDeviceName() const = 0;       // what mkisofs -M takes
  virtual bool isEmulated() const = 0;

  virtual MediumState mediumState() const = 0;

  virtual Status acquireExclusiveAccess() = 0;
  virtual void releaseExclusiveAccess() = 0;
  virtual Status acquireMediaReservation() = 0;
  virtual void releaseMediaReservation() = 0;

  // Starts writing one track as a new session. The job owns the producer
  // until it has finished.
  virtual Result<std::unique_ptr<Job>> burn(const BurnSettings& settings, const TrackProperties& track,
                                            std::shared_ptr<TrackProducer> producer) = 0;
  virtual Result<std::unique_ptr<Job>> erase() = 0;
  // Asks the system to mount the disc's volume now (the desktop normally
  // does it on its own).
  virtual Status mountMedium() { return makeError(ErrorKind::NotFound, "this writer cannot mount discs"); }

  bool isEqual(const Writer& other) const { return ioRegistryEntryPath() == other.ioRegistryEntryPath(); }
};

// The service. Notifications arrive on the thread that created the service
// (the main thread) through Qt signals.
class DiscRecordingService : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  // All writers, in the service's order.
  virtual std::vector<std::shared_ptr<Writer>> devices() = 0;
  // Volumes mounted by the service itself (the emulated writers' mount
  // tables); the real ones are read from /proc/self/mounts.
  virtual std::vector<MountEntry> serviceMounts() const = 0;
  // Starts watching the writers; a status notification for every writer
  // follows soon after, then one on every change.
  virtual void startNotifications() = 0;

 Q_SIGNALS:
  void deviceStatusChanged(std::shared_ptr<tessaline::Writer> writer);
  void deviceAppeared(std::shared_ptr<tessaline::Writer> writer);
  void deviceDisappeared(std::shared_ptr<tessaline::Writer> writer);
};

}  // namespace tessaline

Q_DECLARE_METATYPE(std::shared_ptr<tessaline::Writer>)
