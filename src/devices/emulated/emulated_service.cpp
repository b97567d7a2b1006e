#include "devices/emulated/emulated_service.h"

#include <QFileSystemWatcher>
#include <QPointer>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/log.h"
#include "devices/emulated/emulated_burner.h"
#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_mount.h"
#include "devices/emulated/emulated_writers.h"

namespace tessaline::emulated {

// Lets writers and jobs (which may outlive the service, and run on other
// threads) ask the service to look at the writers again.
struct ServiceLink {
  std::mutex mutex;
  QPointer<QObject> service;
  std::function<void()> refresh;  // runs on the service's thread

  void requestRefresh() {
    std::lock_guard lock(mutex);
    if (service.isNull() || !refresh) return;
    QMetaObject::invokeMethod(service.data(), refresh, Qt::QueuedConnection);
  }
};

namespace {

std::string stateText(const MediumState& s) {
  std::ostringstream o;
  o << s.busy << s.transitioning << s.trayOpen << s.present << static_cast<int>(s.kind) << s.erasable << s.blank
    << s.appendable << s.reserved << ' ' << s.spaceFree.value << ' ' << s.spaceUsed.value;
  for (const TrackRecord& t : s.tracks) o << ' ' << t.start.value << '+' << t.length.value;
  if (s.mountFailure) o << " mount failed: " << s.mountFailure->message;
  return o.str();
}

// A burn or erase running on its own thread.
class EmulatedJob : public Job {
 public:
  using Work = std::function<Status(EmulatedJob&)>;

  EmulatedJob(Work work, std::function<void()> onFinished) : work_(std::move(work)), onFinished_(std::move(onFinished)) {}

  ~EmulatedJob() override {
    cancelled_ = true;
    if (thread_.joinable()) thread_.join();
    if (!reported_ && onFinished_) onFinished_();
  }

  void start() {
    thread_ = std::thread([this] {
      const Status result = work_(*this);
      // The end is reported on the thread the job belongs to (the main thread).
      QMetaObject::invokeMethod(
          this,
          [this, result] {
            if (thread_.joinable()) thread_.join();
            {
              std::lock_guard lock(mutex_);
              if (result) {
                status_.phase = JobPhase::Succeeded;
                status_.percent = 100.0;
              } else {
                status_.phase = result.error().kind == ErrorKind::Cancelled ? JobPhase::Cancelled : JobPhase::Failed;
                status_.error = result.error();
              }
            }
            reported_ = true;
            if (onFinished_) onFinished_();
            Q_EMIT finished();
          },
          Qt::QueuedConnection);
    });
  }

  JobStatus status() const override {
    std::lock_guard lock(mutex_);
    return status_;
  }

  void cancel() override { cancelled_ = true; }

  void markSessionRecorded() {
    std::lock_guard lock(mutex_);
    status_.sessionRecorded = true;
  }

  void setPhase(JobPhase phase, double percent) {
    std::lock_guard lock(mutex_);
    status_.phase = phase;
    status_.percent = percent;
  }

  const std::atomic<bool>* cancelFlag() const { return &cancelled_; }

 private:
  Work work_;
  std::function<void()> onFinished_;
  std::thread thread_;
  mutable std::mutex mutex_;
  JobStatus status_;
  std::atomic<bool> cancelled_{false};
  bool reported_ = false;
};

// Mounts a disc on a thread of its own, one at a time: unpacking a disc may
// take long, and must never hold up the thread that asks for the state.
class BackgroundMount {
 public:
  ~BackgroundMount() { stop(); }

  // Starts the work unless some is running; it is given the stop flag.
  void start(std::function<void(const std::atomic<bool>& stop)> work) {
    std::lock_guard lock(mutex_);
    if (running_ && !running_->load()) join();
    if (running_) return;
    auto running = std::make_shared<std::atomic<bool>>(true);
    auto stopFlag = std::make_shared<std::atomic<bool>>(false);
    running_ = running;
    stop_ = stopFlag;
    thread_ = std::thread([work = std::move(work), running, stopFlag] {
      work(*stopFlag);
      *running = false;
    });
  }

  // Stops the work running (if any) and waits for its end.
  void stop() {
    std::lock_guard lock(mutex_);
    if (stop_) *stop_ = true;
    join();
  }

 private:
  void join() {
    if (thread_.joinable()) thread_.join();
    running_.reset();
    stop_.reset();
  }

  std::mutex mutex_;
  std::thread thread_;
  std::shared_ptr<std::atomic<bool>> running_;
  std::shared_ptr<std::atomic<bool>> stop_;
};

}  // namespace

class EmulatedWriter : public Writer, public std::enable_shared_from_this<EmulatedWriter> {
 public:
  EmulatedWriter(WriterPaths paths, Identity identity, std::shared_ptr<ServiceLink> link)
      : paths_(std::move(paths)), identity_(std::move(identity)), link_(std::move(link)) {}

  QString displayName() const override { return identity_.displayName; }
  std::string ioRegistryEntryPath() const override { return "/emulated/" + paths_.name; }
  std::string bsdName() const override { return identity_.bsdName(); }
  std::string toolDeviceName() const override { return paths_.mediumFile().string(); }
  bool isEmulated() const override { return true; }
  const WriterPaths& paths() const { return paths_; }

  MediumState mediumState() const override {
    MediumState s;
    s.busy = jobRunning_ || FileLock::isHeld(paths_.busyLock());
    {
      std::lock_guard lock(mutex_);
      s.reserved = reservation_.held();
    }
    auto toc = readToc(paths_);
    if (!toc) {
      noteProblem(toc.error().message);
      return s;
    }
    s.transitioning = isTransitioning(toc.value());
    s.trayOpen = toc.value().trayOpen;
    if (!toc.value().disc || s.trayOpen) return s;
    const Disc& disc = *toc.value().disc;
    if (Status ok = checkMediumFile(paths_, disc); !ok) {
      noteProblem(ok.error().message);
      return s;
    }
    s.present = true;
    s.kind = disc.kind;
    s.erasable = disc.kind == MediumKind::CDRW;
    s.blank = disc.writable() && disc.tracks.empty();
    s.appendable = disc.appendable();
    if (disc.appendable()) s.writeSpeeds = emulatedWriteSpeeds(disc.kind);
    s.spaceFree = disc.freeBlocks();
    s.spaceUsed = disc.usedBlocks();
    s.tracks = disc.tracks;
    if (disc.appendable()) s.tracks.push_back(TrackRecord{disc.nextWritable(), disc.freeBlocks()});
    if (!disc.tracks.empty()) {
      const auto volumeId = isoVolumeIdAt(paths_.mediumFile(), disc.tracks.back().start);
      s.lastSessionFormat = volumeId ? MediumState::SessionFormat::Iso9660 : MediumState::SessionFormat::Other;
      s.volumeId = volumeId.value_or(std::string());
    }
    if (!s.busy && disc.appendable() && !disc.tracks.empty()) {
      s.mountFailure = rememberedMountFailure(paths_);
      if (!s.mountFailure && !mountIsCurrent(paths_, disc)) mountInBackground();
    }
    return s;
  }

  // The disc is unpacked in the background, as for a status read: the
  // volume appears when it is done. A disc that could not be unpacked
  // answers why at once.
  Status mountMedium() override {
    auto toc = readToc(paths_);
    if (!toc) return toc.error();
    if (!toc.value().disc || toc.value().trayOpen) return makeError(ErrorKind::NoMedium, "there is no disc in the writer");
    const Disc& disc = *toc.value().disc;
    if (!disc.appendable() || disc.tracks.empty() || !isoVolumeIdAt(paths_.mediumFile(), disc.tracks.back().start))
      return makeError(ErrorKind::MediumNotWritable, "the disc holds no ISO 9660 session to mount");
    if (auto failure = rememberedMountFailure(paths_)) return *failure;
    if (!mountIsCurrent(paths_, disc)) mountInBackground();
    link_->requestRefresh();
    return {};
  }

  Status acquireExclusiveAccess() override {
    {
      std::lock_guard lock(mutex_);
      if (exclusiveCount_ > 0) {
        ++exclusiveCount_;
        return {};
      }
      auto taken = FileLock::tryLock(paths_.exclusiveLock(), paths_.name);
      if (!taken) return taken.error();
      exclusive_ = std::move(taken.value());
      exclusiveCount_ = 1;
    }
    // Like a real drive: a disc in exclusive use is not mounted.
    mount_.stop();
    Status s = unmountDiscKeepingTree(paths_);
    link_->requestRefresh();
    return s;
  }

  void releaseExclusiveAccess() override {
    {
      std::lock_guard lock(mutex_);
      if (exclusiveCount_ == 0) return;
      if (--exclusiveCount_ > 0) return;
      exclusive_.release();
    }
    // The next status read mounts the disc again.
    link_->requestRefresh();
  }

  Status acquireMediaReservation() override {
    {
      std::lock_guard lock(mutex_);
      reservationWanted_ = true;
      if (reservation_.held()) return {};
    }
    struct stat st {};
    if (::stat(paths_.dir().c_str(), &st) != 0)
      return makeError(ErrorKind::NotFound, "writer '" + paths_.name + "' has gone");
    retryReservation();
    std::lock_guard lock(mutex_);
    // Held elsewhere: ask the holder to hand it over once it is idle.
    if (!reservation_.held()) writeReservationRequest();
    return {};
  }

  void releaseMediaReservation() override {
    {
      std::lock_guard lock(mutex_);
      reservationWanted_ = false;
      reservation_.release();
    }
    link_->requestRefresh();
  }

  // Called by the service's poll: takes a reservation another program has
  // given up, and hands ours over when another program asked for it and we
  // are idle (no exclusive access, no job), as a reservation is only a claim
  // to use the medium next.
  void retryReservation() {
    bool changed = false;
    {
      std::lock_guard lock(mutex_);
      if (reservation_.held()) {
        if (exclusiveCount_ == 0 && !jobRunning_ && reservationRequestedSinceGrant()) {
          reservation_.release();
          yieldedAt_ = std::chrono::steady_clock::now();
          changed = true;
        }
      } else if (reservationWanted_ && std::chrono::steady_clock::now() - yieldedAt_ > kYieldGrace) {
        auto taken = FileLock::tryLock(paths_.reservationLock(), paths_.name);
        if (taken) {
          reservation_ = std::move(taken.value());
          requestSeenAtGrant_ = readReservationRequest();
          changed = true;
        }
      }
    }
    if (changed) link_->requestRefresh();
  }

  fs::path reservationRequestFile() const { return paths_.dir() / "reservation.request"; }

  // Who asks: this process and this writer object (tests run two services in one process).
  std::string requesterToken() const {
    return std::to_string(::getpid()) + ":" + std::to_string(reinterpret_cast<std::uintptr_t>(this));
  }

  void writeReservationRequest() {
    const int fd = ::open(reservationRequestFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string request =
        requesterToken() + " " + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    [[maybe_unused]] const ssize_t n = ::write(fd, request.data(), request.size());
    ::close(fd);
  }

  std::string readReservationRequest() const {
    char buf[96] = {};
    if (FILE* f = std::fopen(reservationRequestFile().c_str(), "r")) {
      (void)std::fread(buf, 1, sizeof buf - 1, f);
      std::fclose(f);
    }
    return buf;
  }

  // True when another process asked for the reservation since we took it.
  // Each request is unique, and the one lying there when we took it is not
  // a new one; file dates would not do, as their clock is coarser than ours
  // and a request made right after a grant can carry an earlier date.
  bool reservationRequestedSinceGrant() const {
    const std::string request = readReservationRequest();
    if (request.empty() || request == requestSeenAtGrant_) return false;
    return request.substr(0, request.find(' ')) != requesterToken();
  }

  Result<std::unique_ptr<Job>> burn(const BurnSettings& settings, const TrackProperties& track,
                                    std::shared_ptr<TrackProducer> producer) override {
    if (!producer) return makeError(ErrorKind::InvalidInput, "a burn needs a track producer");
    if (track.blockSize != kBlockBytes)
      return makeError(ErrorKind::InvalidInput, "the emulated writer writes 2048-byte blocks only");
    if (jobRunning_) return makeError(ErrorKind::Busy, "writer '" + paths_.name + "' is already at work");
    auto toc = readToc(paths_);
    if (!toc) return toc.error();
    if (auto disc = checkCanAppend(paths_, toc.value(), track.length); !disc) return disc.error();
    auto busy = startJob();
    if (!busy) return busy.error();

    auto self = shared_from_this();
    auto busyLock = std::make_shared<FileLock>(std::move(busy.value()));
    const BlockCount length = track.length;
    const bool verify = settings.verify && track.verificationType == VerificationType::ProduceAgain;
    auto work = [self, settings, length, verify, producer, busyLock](EmulatedJob& job) -> Status {
      job.setPhase(JobPhase::Preparing, 0);
      if (Status s = producer->prepareTrack(); !s) {
        producer->cleanupTrack();
        return s;
      }
      const ChunkSource source = [producer](std::span<std::byte> buffer) { return producer->produceData(buffer); };
      WriteControl control;
      control.bytesPerSecond = throttleRate(settings.requestedSpeedKBps);
      control.cancel = job.cancelFlag();
      control.progress = [&job](double p) { job.setPhase(JobPhase::Writing, p); };
      job.setPhase(JobPhase::Writing, 0);
      auto written = writeSession(self->paths_, length, !settings.appendable, source, control);
      Status status;
      if (!written) status = written.error();
      if (status) {
        job.markSessionRecorded();
        self->link_->requestRefresh();
      }
      if (status && verify) {
        control.progress = [&job](double p) { job.setPhase(JobPhase::Verifying, p); };
        job.setPhase(JobPhase::Verifying, 0);
        status = verifySession(self->paths_, written.value(), length, source, control);
      }
      producer->cleanupTrack();
      job.setPhase(JobPhase::Finishing, 0);
      busyLock->release();
      if (status && settings.mountOnCompletion) {
        if (auto toc2 = readToc(self->paths_); toc2 && toc2.value().disc) {
          auto mounted = mountDisc(self->paths_, *toc2.value().disc, self->bsdName());
          if (!mounted) logLine("emulated writer " + self->paths_.name + ": cannot mount the disc: " + mounted.error().message);
        }
      }
      return status;
    };
    return launch(std::move(work));
  }

  Result<std::unique_ptr<Job>> erase() override {
    if (jobRunning_) return makeError(ErrorKind::Busy, "writer '" + paths_.name + "' is already at work");
    auto toc = readToc(paths_);
    if (!toc) return toc.error();
    const std::string writer = "writer '" + paths_.name + "'";
    if (!toc.value().disc) return makeError(ErrorKind::NoMedium, "there is no disc in " + writer);
    if (toc.value().trayOpen) return makeError(ErrorKind::NoMedium, "the tray of " + writer + " is open");
    if (toc.value().disc->kind != MediumKind::CDRW)
      return makeError(ErrorKind::MediumNotWritable, "the " + mediumKindText(toc.value().disc->kind) + " in " + writer +
                                                         " cannot be erased (only a CD-RW can)");
    auto busy = startJob();
    if (!busy) return busy.error();
    auto self = shared_from_this();
    auto busyLock = std::make_shared<FileLock>(std::move(busy.value()));
    auto work = [self, busyLock](EmulatedJob& job) -> Status {
      job.setPhase(JobPhase::Writing, 0);
      WriteControl control;
      control.bytesPerSecond = throttleRate(std::nullopt);
      control.cancel = job.cancelFlag();
      control.progress = [&job](double p) { job.setPhase(JobPhase::Writing, p); };
      Status s = eraseDisc(self->paths_, control);
      job.setPhase(JobPhase::Finishing, 0);
      busyLock->release();
      return s;
    };
    return launch(std::move(work));
  }

 private:
  // Exclusive access (which unmounts the disc) and the busy mark for a job.
  Result<FileLock> startJob() {
    if (Status s = acquireExclusiveAccess(); !s) return s.error();
    auto busy = FileLock::tryLock(paths_.busyLock(), paths_.name);
    if (!busy) {
      releaseExclusiveAccess();
      return busy.error();
    }
    return busy;
  }

  Result<std::unique_ptr<Job>> launch(EmulatedJob::Work work) {
    jobRunning_ = true;
    auto self = shared_from_this();
    auto job = std::make_unique<EmulatedJob>(std::move(work), [self] {
      self->jobRunning_ = false;
      self->releaseExclusiveAccess();
      self->link_->requestRefresh();
    });
    job->start();
    link_->requestRefresh();
    return std::unique_ptr<Job>(std::move(job));
  }

  // Mounts the disc on the background thread, unless the writer is in
  // exclusive use; gives up as soon as someone takes exclusive access. The
  // service looks again when it is done.
  void mountInBackground() const {
    if (FileLock::isHeld(paths_.exclusiveLock())) return;
    mount_.start([paths = paths_, bsd = bsdName(), link = link_](const std::atomic<bool>& stop) {
      auto lastLook = std::chrono::steady_clock::now();
      MountControl control;
      control.stop = [&] {
        if (stop) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastLook < std::chrono::milliseconds(100)) return false;
        lastLook = now;
        return FileLock::isHeld(paths.exclusiveLock());
      };
      auto toc = readToc(paths);
      if (!toc || !toc.value().disc || toc.value().trayOpen || !checkMediumFile(paths, *toc.value().disc)) return;
      auto mounted = mountDisc(paths, *toc.value().disc, bsd, control);
      if (!mounted && mounted.error().kind != ErrorKind::Cancelled)
        logLine("emulated writer " + paths.name + ": the disc was not mounted: " + mounted.error().message);
      link->requestRefresh();
    });
  }

  // A damaged writer is reported once per distinct problem, not on every poll.
  void noteProblem(const std::string& message) const {
    std::lock_guard lock(mutex_);
    if (message == lastProblem_) return;
    lastProblem_ = message;
    logLine("emulated writer: " + message);
  }

  WriterPaths paths_;
  Identity identity_;
  std::shared_ptr<ServiceLink> link_;
  mutable std::mutex mutex_;
  FileLock exclusive_;
  int exclusiveCount_ = 0;
  FileLock reservation_;
  bool reservationWanted_ = false;
  std::string requestSeenAtGrant_;  // the request lying there when we took the reservation
  // After handing the reservation over, the one who asked gets time to take it.
  static constexpr std::chrono::seconds kYieldGrace{2};
  std::chrono::steady_clock::time_point yieldedAt_{};
  std::atomic<bool> jobRunning_{false};
  mutable std::string lastProblem_;
  mutable BackgroundMount mount_;
};

EmulatedService::EmulatedService(std::filesystem::path writersDir, QObject* parent)
    : DiscRecordingService(parent), writersDir_(std::move(writersDir)), link_(std::make_shared<ServiceLink>()) {
  qRegisterMetaType<std::shared_ptr<tessaline::Writer>>();
  link_->service = this;
  link_->refresh = [this] { scheduleRefresh(); };
  watcher_ = new QFileSystemWatcher(this);
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { scheduleRefresh(); });
  connect(watcher_, &QFileSystemWatcher::fileChanged, this, [this] { scheduleRefresh(); });
  soon_ = new QTimer(this);
  soon_->setSingleShot(true);
  soon_->setInterval(10);
  connect(soon_, &QTimer::timeout, this, [this] { refresh(); });
  // The poll catches what the watcher misses (and the end of a tray move,
  // which changes no file) and retries pending reservations.
  poll_ = new QTimer(this);
  poll_->setInterval(250);
  connect(poll_, &QTimer::timeout, this, [this] { refresh(); });
  poll_->start();
  std::vector<std::shared_ptr<EmulatedWriter>> appeared, disappeared;
  syncWriters(appeared, disappeared);
}

EmulatedService::~EmulatedService() {
  std::lock_guard lock(link_->mutex);
  link_->service.clear();
  link_->refresh = nullptr;
}

void EmulatedService::scheduleRefresh() {
  if (!soon_->isActive()) soon_->start();
}

void EmulatedService::syncWriters(std::vector<std::shared_ptr<EmulatedWriter>>& appeared,
                                  std::vector<std::shared_ptr<EmulatedWriter>>& disappeared) {
  std::map<std::string, std::shared_ptr<EmulatedWriter>> now;
  for (const std::string& name : listWriters(writersDir_)) {
    if (auto it = writers_.find(name); it != writers_.end()) {
      now.emplace(name, it->second);
      continue;
    }
    const WriterPaths paths{writersDir_, name};
    auto id = readIdentity(paths);
    if (!id) continue;  // a damaged folder is not a writer
    makeWriterPrivate(paths);
    auto writer = std::make_shared<EmulatedWriter>(paths, id.value(), link_);
    now.emplace(name, writer);
    appeared.push_back(writer);
  }
  for (auto& [name, writer] : writers_) {
    if (!now.contains(name)) {
      disappeared.push_back(writer);
      lastState_.erase(name);
    }
  }
  writers_ = std::move(now);
}

void EmulatedService::watchFolders() {
  QStringList wanted;
  struct stat st {};
  if (::stat(writersDir_.c_str(), &st) == 0) wanted << QString::fromLocal8Bit(writersDir_.c_str());
  for (const auto& [name, writer] : writers_) wanted << QString::fromLocal8Bit(writer->paths().dir().c_str());
  const QStringList watched = watcher_->directories();
  for (const QString& w : watched)
    if (!wanted.contains(w)) watcher_->removePath(w);
  for (const QString& w : wanted)
    if (!watched.contains(w)) watcher_->addPath(w);
}

void EmulatedService::refresh() {
  std::vector<std::shared_ptr<EmulatedWriter>> appeared, disappeared;
  syncWriters(appeared, disappeared);
  for (auto& [name, writer] : writers_) writer->retryReservation();
  if (!notifying_) return;
  watchFolders();
  for (auto& w : disappeared) Q_EMIT deviceDisappeared(w);
  for (auto& w : appeared) Q_EMIT deviceAppeared(w);
  // Signals may run code that changes the list: work on a copy.
  const auto writers = writers_;
  for (const auto& [name, writer] : writers) {
    const std::string state = stateText(writer->mediumState());
    auto it = lastState_.find(name);
    if (it != lastState_.end() && it->second == state) continue;
    lastState_[name] = state;
    Q_EMIT deviceStatusChanged(writer);
  }
}

std::vector<std::shared_ptr<Writer>> EmulatedService::devices() {
  std::vector<std::shared_ptr<EmulatedWriter>> appeared, disappeared;
  syncWriters(appeared, disappeared);
  if (notifying_ && (!appeared.empty() || !disappeared.empty())) {
    // Reported from the loop, never from inside this call.
    QMetaObject::invokeMethod(
        this,
        [this, appeared, disappeared] {
          for (auto& w : disappeared) Q_EMIT deviceDisappeared(w);
          for (auto& w : appeared) Q_EMIT deviceAppeared(w);
        },
        Qt::QueuedConnection);
  }
  std::vector<std::pair<int, std::shared_ptr<Writer>>> ordered;
  for (const auto& [name, writer] : writers_) {
    auto id = readIdentity(writer->paths());
    ordered.emplace_back(id ? id.value().number : INT32_MAX, writer);
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::shared_ptr<Writer>> result;
  for (auto& o : ordered) result.push_back(std::move(o.second));
  return result;
}

std::vector<MountEntry> EmulatedService::serviceMounts() const {
  std::vector<MountEntry> mounts;
  for (const std::string& name : listWriters(writersDir_)) {
    auto record = readMountTable(WriterPaths{writersDir_, name});
    if (!record) continue;
    struct stat st {};
    if (::lstat(record->entry.mountPoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    mounts.push_back(record->entry);
  }
  return mounts;
}

void EmulatedService::startNotifications() {
  if (notifying_) return;
  notifying_ = true;
  std::vector<std::shared_ptr<EmulatedWriter>> appeared, disappeared;
  syncWriters(appeared, disappeared);
  watchFolders();
  // One report per writer, from the loop; then one on every change.
  QMetaObject::invokeMethod(
      this,
      [this] {
        const auto writers = writers_;
        for (const auto& [name, writer] : writers) {
          lastState_[name] = stateText(writer->mediumState());
          Q_EMIT deviceStatusChanged(writer);
        }
      },
      Qt::QueuedConnection);
}

}  // namespace tessaline::emulated
