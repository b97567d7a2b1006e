#pragma once
// Burning and erasing on a drive through libburn, each on a worker thread of
// its own. Status may be polled at any time; finished() arrives on the
// thread that created the job.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "devices/disc_recording_service.h"
#include "devices/libburn/libburn_drive.h"

namespace tessaline::libburn {

class LibburnJob : public Job {
  Q_OBJECT
 public:
  // What the worker thread may do with its job.
  class Context {
   public:
    explicit Context(LibburnJob& job) : job_(job) {}
    void progress(JobPhase phase, double percent) { job_.setProgress(phase, percent); }
    bool cancelRequested() const { return job_.cancelled_.load(); }
    void sessionRecorded() { job_.markSessionRecorded(); }

   private:
    LibburnJob& job_;
  };
  using Body = std::function<Status(Context&)>;

  // Starts the body on a worker thread at once.
  explicit LibburnJob(Body body, QObject* parent = nullptr);
  // Asks the worker to stop and waits for it.
  ~LibburnJob() override;

  JobStatus status() const override;
  void cancel() override;

 private:
  void setProgress(JobPhase phase, double percent);
  void markSessionRecorded();
  void run(Body body);

  mutable std::mutex mutex_;
  JobStatus status_;
  std::atomic<bool> cancelled_{false};
  std::thread worker_;
};

// Writes one data track as a new session (TAO, Mode 1), verifies it by
// reading it back and comparing with the producer's second pass, and mounts
// the disc when asked. The drive is acquired for the job's duration.
Result<std::unique_ptr<Job>> startBurn(std::shared_ptr<LibburnDrive> drive, const BurnSettings& settings,
                                       const TrackProperties& track, std::shared_ptr<TrackProducer> producer);

// Blanks a CD-RW quickly.
Result<std::unique_ptr<Job>> startErase(std::shared_ptr<LibburnDrive> drive);

}  // namespace tessaline::libburn
