#include "devices/libburn/libburn_jobs.h"

#include <libburn/libburn.h>

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "devices/libburn/drive_access.h"

namespace tessaline::libburn {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kProducerChunk = 64 * 1024;  // bytes asked of the producer at a time
constexpr std::int64_t kVerifyChunkBlocks = 32;

void pause(std::chrono::milliseconds d) { std::this_thread::sleep_for(d); }

// ---------------------------------------------------------------------------
// The track's data source: libburn's read callback asks the producer.

struct SourceState {
  std::shared_ptr<TrackProducer> producer;
  std::int64_t total = 0;      // bytes of the track
  std::int64_t delivered = 0;  // handed to libburn
  std::int64_t fetched = 0;    // taken from the producer
  std::vector<std::byte> buffer;
  std::size_t bufferPos = 0;
  std::size_t bufferLen = 0;
  std::function<bool()> stopRequested;  // a Stop ends the feeding at the next read
  std::mutex errorMutex;
  std::optional<Error> error;

  void fail(Error e) {
    std::lock_guard lock(errorMutex);
    if (!error) error = std::move(e);
  }
  std::optional<Error> failure() {
    std::lock_guard lock(errorMutex);
    return error;
  }
};

SourceState& stateOf(burn::burn_source* src) { return **static_cast<std::shared_ptr<SourceState>*>(src->data); }

int sourceRead(burn::burn_source* src, unsigned char* buffer, int size) {
  SourceState& s = stateOf(src);
  if (s.stopRequested && s.stopRequested()) s.fail(makeError(ErrorKind::Cancelled, "The burn was cancelled."));
  if (s.failure()) return -1;
  if (size <= 0 || s.delivered >= s.total) return 0;
  const auto want = static_cast<std::size_t>(std::min<std::int64_t>(size, s.total - s.delivered));
  std::size_t copied = 0;
  while (copied < want) {
    if (s.bufferPos == s.bufferLen) {
      // Never ask past the track's end: the producer rewinds on the call
      // after its last byte, which belongs to the verification pass.
      const auto ask = static_cast<std::size_t>(std::min<std::int64_t>(kProducerChunk, s.total - s.fetched));
      auto produced = s.producer->produceData(std::span<std::byte>(s.buffer.data(), ask));
      if (!produced) {
        s.fail(produced.error());
        return -1;
      }
      if (produced.value() == 0 || produced.value() > ask) {
        s.fail(makeError(ErrorKind::Io, "The session image ended after " + std::to_string(s.fetched / 2048) +
                                            " of " + std::to_string(s.total / 2048) + " blocks."));
        return -1;
      }
      s.bufferPos = 0;
      s.bufferLen = produced.value();
      s.fetched += produced.value();
    }
    const std::size_t n = std::min(want - copied, s.bufferLen - s.bufferPos);
    std::memcpy(buffer + copied, s.buffer.data() + s.bufferPos, n);
    s.bufferPos += n;
    copied += n;
  }
  s.delivered += static_cast<std::int64_t>(want);
  return static_cast<int>(want);
}

off_t sourceSize(burn::burn_source* src) { return static_cast<off_t>(stateOf(src).total); }

int sourceSetSize(burn::burn_source*, off_t) { return 1; }  // libburn pads or cuts itself

void sourceFree(burn::burn_source* src) { delete static_cast<std::shared_ptr<SourceState>*>(src->data); }

// libburn stopped reading early; why it stopped is in its own report.
int sourceCancel(burn::burn_source*) { return 1; }

// A new source holding one reference; libburn frees it with free().
burn::burn_source* newSource(std::shared_ptr<SourceState> state) {
  auto* src = static_cast<burn::burn_source*>(std::calloc(1, sizeof(burn::burn_source)));
  if (src == nullptr) return nullptr;
  src->refcount = 1;
  src->read = nullptr;  // version 1: read_xt does the reading
  src->read_sub = nullptr;
  src->get_size = sourceSize;
  src->set_size = sourceSetSize;
  src->free_data = sourceFree;
  src->next = nullptr;
  src->data = new std::shared_ptr<SourceState>(std::move(state));
  src->version = 1;
  src->read_xt = sourceRead;
  src->cancel = sourceCancel;
  return src;
}

// ---------------------------------------------------------------------------

// Holds the drive for the job and gives it back however the job ends.
class DriveHold {
 public:
  explicit DriveHold(LibburnDrive& drive) : drive_(drive) {}
  ~DriveHold() {
    if (held_) drive_.release();
  }
  DriveHold(const DriveHold&) = delete;
  DriveHold& operator=(const DriveHold&) = delete;
  Status acquire() {
    auto ok = drive_.acquire();
    held_ = ok.ok();
    return ok;
  }

 private:
  LibburnDrive& drive_;
  bool held_ = false;
};

std::string profileName(burn::burn_drive* d, int* profile) {
  char name[80] = {};
  *profile = 0;
  if (burn::burn_disc_get_profile(d, profile, name) <= 0) return {};
  return name;
}

// The disc must take a new session: blank or appendable, a CD-R or CD-RW in
// a real drive.
Status checkWritable(LibburnDrive& drive, burn::burn_drive* d) {
  burn::burn_disc_status st = burn::burn_disc_get_status(d);
  for (int i = 0; i < 50 && st == burn::BURN_DISC_UNREADY; ++i) {
    pause(100ms);
    st = burn::burn_disc_get_status(d);
  }
  const std::string where = drive.isPseudo() ? drive.address() : drive.devicePath();
  switch (st) {
    case burn::BURN_DISC_BLANK:
    case burn::BURN_DISC_APPENDABLE: break;
    case burn::BURN_DISC_EMPTY: return makeError(ErrorKind::NoMedium, "There is no disc in " + where + ".");
    case burn::BURN_DISC_FULL:
      return makeError(ErrorKind::MediumNotWritable,
                       "The disc in " + where + " is closed or read-only and takes no further session.");
    default:
      return makeError(ErrorKind::MediumNotWritable, "The drive " + where + " cannot write to the disc in it.");
  }
  if (burn::burn_drive_get_drive_role(d) == 1) {
    int profile = 0;
    const std::string name = profileName(d, &profile);
    if (profile != 0x09 && profile != 0x0A)
      return makeError(ErrorKind::MediumNotWritable,
                       "The disc in " + where + " is " + (name.empty() ? "not a CD-R or CD-RW" : "a " + name) +
                           "; only CD-R and CD-RW discs can be written.");
  }
  return {};
}

// After a failure: the drive empty now means the disc was taken out.
std::optional<Error> ejectedError(LibburnDrive& drive) {
  if (drive.isPseudo()) return std::nullopt;
  const auto readings = readDrive(drive.devicePath());
  if (readings && (readings.value().status == DriveStatus::NoDisc || readings.value().status == DriveStatus::TrayOpen))
    return makeError(ErrorKind::NoMedium, "The disc was ejected from " + drive.devicePath() +
                                              " during the burn; the session on it is incomplete.");
  return std::nullopt;
}

// Reads the track back and compares it with the producer's second pass.
Status verifyTrack(LibburnJob::Context& ctx, burn::burn_drive* d, BlockAddress start, BlockCount length,
                   TrackProducer& producer) {
  const std::int64_t blocks = length.value;
  std::vector<char> disc(static_cast<std::size_t>(kVerifyChunkBlocks * kBlockBytes));
  std::vector<std::byte> produced(disc.size());
  for (std::int64_t done = 0; done < blocks;) {
    if (ctx.cancelRequested()) return makeError(ErrorKind::Cancelled, "The burn was cancelled during verification.");
    const std::int64_t n = std::min(kVerifyChunkBlocks, blocks - done);
    const auto bytes = static_cast<std::size_t>(n * kBlockBytes);
    // Read only what belongs to the track: beyond it lie the run-out blocks,
    // and a read past the end may report more bytes than are valid.
    off_t count = 0;
    const int rc = burn::burn_read_data(d, static_cast<off_t>((start.value + done) * kBlockBytes), disc.data(),
                                        static_cast<off_t>(bytes), &count, 2);
    if (rc <= 0 || count != static_cast<off_t>(bytes))
      return makeError(ErrorKind::Io, "Reading the new session back failed at block " +
                                          std::to_string(start.value + done + count / kBlockBytes) + ".");
    std::size_t have = 0;
    while (have < bytes) {
      auto r = producer.produceData(std::span<std::byte>(produced.data() + have, bytes - have));
      if (!r) return r.error();
      if (r.value() == 0 || r.value() > bytes - have)
        return makeError(ErrorKind::VerifyMismatch, "The session image gave fewer blocks on the second pass (" +
                                                        std::to_string((done * kBlockBytes + static_cast<std::int64_t>(have)) / kBlockBytes) +
                                                        " of " + std::to_string(blocks) + ").");
      have += r.value();
    }
    if (std::memcmp(disc.data(), produced.data(), bytes) != 0) {
      std::size_t at = 0;
      while (disc[at] == static_cast<char>(produced[at])) ++at;
      return makeError(ErrorKind::VerifyMismatch,
                       "Verification failed: the disc differs from the session image at block " +
                           std::to_string(start.value + done + static_cast<std::int64_t>(at) / kBlockBytes) + ".");
    }
    done += n;
    ctx.progress(JobPhase::Verifying, 100.0 * static_cast<double>(done) / static_cast<double>(blocks));
  }
  return {};
}

void mountAfterBurn(LibburnDrive& drive) {
  // The kernel may only mount a disc nobody holds exclusively.
  drive.dropGrab();
  MountControl& mounts = drive.mounts();
  if (!mounts.available()) {
    logLine("cannot mount " + drive.devicePath() + ": UDisks2 is not running");
    return;
  }
  mounts.rescan(drive.devicePath());
  // udev needs a moment to see the new file system.
  Error last;
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto mounted = mounts.mount(drive.devicePath());
    if (mounted) return;
    last = mounted.error();
    if (last.kind != ErrorKind::NotFound) break;
    pause(500ms);
  }
  logLine(last.message);
}

struct BurnPlan {
  BurnSettings settings;
  TrackProperties track;
  std::shared_ptr<TrackProducer> producer;
};

Status writeTrack(LibburnJob::Context& ctx, LibburnDrive& drive, const BurnPlan& plan, BlockAddress* trackStart) {
  burn::burn_drive* d = drive.drive();
  if (auto ok = checkWritable(drive, d); !ok) return ok;
  const bool realDrive = burn::burn_drive_get_drive_role(d) == 1;

  burn::burn_write_opts* opts = burn::burn_write_opts_new(d);
  if (opts == nullptr) return makeError(ErrorKind::Internal, "Out of memory while setting up the burn.");
  struct OptsFree {
    burn::burn_write_opts* o;
    ~OptsFree() { burn::burn_write_opts_free(o); }
  } optsFree{opts};
  burn::burn_write_opts_set_write_type(opts, burn::BURN_WRITE_TAO, burn::BURN_BLOCK_MODE1);
  burn::burn_write_opts_set_simulate(opts, 0);
  burn::burn_write_opts_set_multi(opts, plan.settings.appendable && realDrive ? 1 : 0);
  burn::burn_write_opts_set_underrun_proof(opts, plan.settings.underrunProtection ? 1 : 0);
  if (!realDrive) burn::burn_write_opts_set_stdio_fsync(opts, 1);
  burn::burn_drive_set_speed(d, 0, libburnWriteSpeed(plan.settings.requestedSpeedKBps));

  const std::int64_t bytes = plan.track.length.bytes();
  if (plan.track.length.value <= 0) return makeError(ErrorKind::InvalidInput, "The session image is empty.");
  const off_t space = burn::burn_disc_available_space(d, opts);
  if (space < bytes)
    return makeError(ErrorKind::NoSpace, "The session needs " + std::to_string(plan.track.length.value) +
                                             " blocks but the disc has only " + std::to_string(space / kBlockBytes) +
                                             " free.");

  int lba = 0, nwa = 0;
  *trackStart = BlockAddress{0};
  if (burn::burn_disc_track_lba_nwa(d, opts, 0, &lba, &nwa) == 1) *trackStart = BlockAddress{nwa};

  // The disc, its session and track. Each adding takes its own reference,
  // so ours are dropped at once and burn_disc_free() releases everything,
  // the producer's source included.
  auto state = std::make_shared<SourceState>();
  state->producer = plan.producer;
  state->total = bytes;
  state->buffer.resize(kProducerChunk);
  state->stopRequested = [&ctx] { return ctx.cancelRequested(); };
  burn::burn_source* src = newSource(state);
  burn::burn_disc* disc = burn::burn_disc_create();
  burn::burn_session* session = burn::burn_session_create();
  burn::burn_track* track = burn::burn_track_create();
  struct DiscFree {
    burn::burn_disc* d;
    ~DiscFree() {
      if (d) burn::burn_disc_free(d);
    }
  } discFree{disc};
  if (src == nullptr || disc == nullptr || session == nullptr || track == nullptr) {
    if (src) burn::burn_source_free(src);
    if (session) burn::burn_session_free(session);
    if (track) burn::burn_track_free(track);
    return makeError(ErrorKind::Internal, "Out of memory while setting up the burn.");
  }
  burn::burn_track_define_data(track, 0, 0, 1, BURN_MODE1);
  const bool sourceSet = burn::burn_track_set_source(track, src) == burn::BURN_SOURCE_OK;
  burn::burn_source_free(src);
  const bool trackAdded = sourceSet && burn::burn_session_add_track(session, track, BURN_POS_END) == 1;
  burn::burn_track_free(track);
  const bool sessionAdded = trackAdded && burn::burn_disc_add_session(disc, session, BURN_POS_END) == 1;
  burn::burn_session_free(session);
  if (!sessionAdded) return makeError(ErrorKind::Internal, "The burn could not be set up in libburn.");

  std::vector<char> reasons(BURN_REASONS_LEN, '\0');
  if (burn::burn_precheck_write(opts, disc, reasons.data(), 1) <= 0)
    return makeError(ErrorKind::MediumNotWritable, "The drive refuses this burn: " + std::string(reasons.data()));

  drive.library().takeMessages();
  burn::burn_disc_write(opts, disc);

  burn::burn_progress p{};
  std::int64_t lastBlock = trackStart->value;
  bool cancelSent = false;
  for (;;) {
    const burn::burn_drive_status st = burn::burn_drive_get_status(d, &p);
    if (st == burn::BURN_DRIVE_IDLE) break;
    if (st == burn::BURN_DRIVE_WRITING && p.sectors > 0) {
      lastBlock = p.start_sector + p.sector;
      ctx.progress(JobPhase::Writing, std::clamp(100.0 * p.sector / p.sectors, 0.0, 100.0));
    } else if (st == burn::BURN_DRIVE_CLOSING_TRACK || st == burn::BURN_DRIVE_CLOSING_SESSION ||
               st == burn::BURN_DRIVE_WRITING_LEADOUT) {
      ctx.progress(JobPhase::Finishing, 0.0);
    }
    if (ctx.cancelRequested() && !cancelSent) {
      state->fail(makeError(ErrorKind::Cancelled, "The burn was cancelled."));
      burn::burn_drive_cancel(d);
      cancelSent = true;
    }
    pause(50ms);
  }
  const bool wroteWell = burn::burn_drive_wrote_well(d) == 1;
  const auto messages = drive.library().takeMessages();
  // A stop that came after the last block closed a whole session.
  if (wroteWell && state->delivered == bytes && (!state->failure() || state->failure()->kind == ErrorKind::Cancelled))
    return {};
  if (auto failure = state->failure()) return *failure;
  if (ctx.cancelRequested()) return makeError(ErrorKind::Cancelled, "The burn was cancelled.");
  if (!wroteWell) {
    if (auto ejected = ejectedError(drive)) return *ejected;
    if (const auto failed = failedWrite(messages)) {
      // Progress lags behind the drive; the refused command names the blocks.
      const std::int64_t last = failed->firstBlock + std::max<std::int64_t>(failed->blocks, 1) - 1;
      return makeError(ErrorKind::WriteFailed,
                       "Writing failed at block " + std::to_string(failed->firstBlock) + ": the drive reported \"" +
                           failed->reason + "\" for blocks " + std::to_string(failed->firstBlock) + " to " +
                           std::to_string(last) + ". The disc may be damaged; try another disc.");
    }
    const std::string detail = describeMessages(messages);
    return makeError(ErrorKind::WriteFailed, "Writing failed at block " + std::to_string(lastBlock) +
                                                 (detail.empty() ? "." : ": " + detail));
  }
  if (state->delivered != bytes)
    return makeError(ErrorKind::WriteFailed, "The drive took only " + std::to_string(state->delivered / kBlockBytes) +
                                                 " of " + std::to_string(plan.track.length.value) + " blocks.");
  return {};
}

Status runBurn(LibburnJob::Context& ctx, const std::shared_ptr<LibburnDrive>& drive, const BurnPlan& plan) {
  ctx.progress(JobPhase::Preparing, 0.0);
  if (auto ok = plan.producer->prepareTrack(); !ok) return ok;
  struct Cleanup {
    TrackProducer& p;
    ~Cleanup() { p.cleanupTrack(); }
  } cleanup{*plan.producer};

  DriveHold hold(*drive);
  if (auto ok = hold.acquire(); !ok) return ok;

  BlockAddress start;
  if (auto ok = writeTrack(ctx, *drive, plan, &start); !ok) return ok;
  ctx.sessionRecorded();

  const bool verify = plan.settings.verify && plan.track.verificationType == VerificationType::ProduceAgain;
  if (verify) {
    ctx.progress(JobPhase::Verifying, 0.0);
    if (auto ok = verifyTrack(ctx, drive->drive(), start, plan.track.length, *plan.producer); !ok) return ok;
  }
  ctx.progress(JobPhase::Finishing, 0.0);
  if (plan.settings.mountOnCompletion && !drive->isPseudo()) mountAfterBurn(*drive);
  return {};
}

Status runErase(LibburnJob::Context& ctx, const std::shared_ptr<LibburnDrive>& drive) {
  ctx.progress(JobPhase::Preparing, 0.0);
  DriveHold hold(*drive);
  if (auto ok = hold.acquire(); !ok) return ok;
  burn::burn_drive* d = drive->drive();
  const std::string where = drive->isPseudo() ? drive->address() : drive->devicePath();

  burn::burn_disc_status st = burn::burn_disc_get_status(d);
  for (int i = 0; i < 50 && st == burn::BURN_DISC_UNREADY; ++i) {
    pause(100ms);
    st = burn::burn_disc_get_status(d);
  }
  if (st == burn::BURN_DISC_EMPTY) return makeError(ErrorKind::NoMedium, "There is no disc in " + where + ".");
  int profile = 0;
  const std::string name = profileName(d, &profile);
  if (burn::burn_drive_get_drive_role(d) != 1 || profile != 0x0A || burn::burn_disc_erasable(d) == 0)
    return makeError(ErrorKind::MediumNotWritable, "The disc in " + where + " is " +
                                                       (name.empty() ? "not a CD-RW" : "a " + name) +
                                                       "; only CD-RW discs can be erased.");
  if (st == burn::BURN_DISC_BLANK) return {};  // nothing on it to erase

  drive->library().takeMessages();
  burn::burn_disc_erase(d, 1);
  burn::burn_progress p{};
  for (;;) {
    const burn::burn_drive_status ds = burn::burn_drive_get_status(d, &p);
    if (ds == burn::BURN_DRIVE_IDLE) break;
    // The drive blanks on its own; it cannot be interrupted.
    if (ds == burn::BURN_DRIVE_ERASING && p.sectors > 0)
      ctx.progress(JobPhase::Writing, std::clamp(100.0 * p.sector / p.sectors, 0.0, 100.0));
    pause(200ms);
  }
  const auto messages = drive->library().takeMessages();
  if (burn::burn_drive_wrote_well(d) != 1) {
    if (auto ejected = ejectedError(*drive)) return *ejected;
    const std::string detail = describeMessages(messages);
    return makeError(ErrorKind::WriteFailed, "Erasing the disc in " + where + " failed" +
                                                 (detail.empty() ? "." : ": " + detail));
  }
  drive->dropGrab();
  if (drive->mounts().available()) drive->mounts().rescan(drive->devicePath());
  return {};
}

}  // namespace

LibburnJob::LibburnJob(Body body, QObject* parent) : Job(parent) {
  worker_ = std::thread([this, body = std::move(body)]() mutable { run(std::move(body)); });
}

LibburnJob::~LibburnJob() {
  cancelled_ = true;
  if (worker_.joinable()) worker_.join();
}

JobStatus LibburnJob::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void LibburnJob::cancel() { cancelled_ = true; }

void LibburnJob::markSessionRecorded() {
  std::lock_guard lock(mutex_);
  status_.sessionRecorded = true;
}

void LibburnJob::setProgress(JobPhase phase, double percent) {
  std::lock_guard lock(mutex_);
  status_.phase = phase;
  status_.percent = percent;
}

void LibburnJob::run(Body body) {
  Context ctx(*this);
  const Status result = body(ctx);
  {
    std::lock_guard lock(mutex_);
    if (result.ok()) {
      status_.phase = JobPhase::Succeeded;
      status_.percent = 100.0;
    } else {
      status_.phase = result.error().kind == ErrorKind::Cancelled ? JobPhase::Cancelled : JobPhase::Failed;
      status_.error = result.error();
    }
  }
  QMetaObject::invokeMethod(this, [this] { Q_EMIT finished(); }, Qt::QueuedConnection);
}

Result<std::unique_ptr<Job>> startBurn(std::shared_ptr<LibburnDrive> drive, const BurnSettings& settings,
                                       const TrackProperties& track, std::shared_ptr<TrackProducer> producer) {
  if (!producer) return makeError(ErrorKind::InvalidInput, "The burn has no data source.");
  if (track.blockSize != 2048)
    return makeError(ErrorKind::InvalidInput, "Only 2048-byte Mode 1 data tracks can be written.");
  if (!drive->beginJob())
    return makeError(ErrorKind::Busy, "The drive is already burning or erasing a disc.");
  BurnPlan plan{settings, track, std::move(producer)};
  auto job = std::make_unique<LibburnJob>([drive, plan](LibburnJob::Context& ctx) {
    Status result = runBurn(ctx, drive, plan);
    drive->endJob();
    return result;
  });
  return std::unique_ptr<Job>(std::move(job));
}

Result<std::unique_ptr<Job>> startErase(std::shared_ptr<LibburnDrive> drive) {
  if (!drive->beginJob())
    return makeError(ErrorKind::Busy, "The drive is already burning or erasing a disc.");
  auto job = std::make_unique<LibburnJob>([drive](LibburnJob::Context& ctx) {
    Status result = runErase(ctx, drive);
    drive->endJob();
    return result;
  });
  return std::unique_ptr<Job>(std::move(job));
}

}  // namespace tessaline::libburn
