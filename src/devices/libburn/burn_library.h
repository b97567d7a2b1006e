#pragma once
// The libburn library for one service: started with the service and shut
// down with it. libburn keeps its drives and message queue process-wide, so
// the start and the shutdown are counted across services.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"

namespace burn {
struct burn_drive;
struct burn_drive_info;
}  // namespace burn

namespace tessaline::libburn {

// One entry of libburn's message queue.
struct BurnMessage {
  int code = 0;
  std::string severity;  // "FATAL", "FAILURE", "SORRY", "WARNING", ...
  std::string text;
  int osErrno = 0;
};

// A grabbed drive: libburn's drive list entry and the drive in it.
struct GrabbedDrive {
  burn::burn_drive_info* infos = nullptr;
  burn::burn_drive* drive = nullptr;
};

class LibburnLibrary {
 public:
  // Starts libburn (or counts one more user). Messages are queued, never
  // printed on standard error.
  static Result<std::shared_ptr<LibburnLibrary>> open();
  ~LibburnLibrary();
  LibburnLibrary(const LibburnLibrary&) = delete;
  LibburnLibrary& operator=(const LibburnLibrary&) = delete;

  // Takes the drive at the address ("/dev/sr0", or "stdio:/path" for the
  // pseudo-drive on a file) for this process alone.
  Result<GrabbedDrive> grab(const std::string& address);
  void release(GrabbedDrive& grabbed);

  // Empties libburn's queue and answers what was in it (SORRY and worse).
  std::vector<BurnMessage> takeMessages();

 private:
  LibburnLibrary() = default;
  std::mutex mutex_;  // libburn's drive list is not safe for concurrent grabs
};

// The message a person can act on from libburn's complaints: the most severe
// one, with the others after it.
std::string describeMessages(const std::vector<BurnMessage>& messages);

// The first WRITE the drive refused, from libburn's report
// "SCSI error on write(START,COUNT): [K AS AQ] text": the blocks the command
// covered and the drive's words for the fault.
struct FailedWrite {
  std::int64_t firstBlock = 0;
  std::int64_t blocks = 0;
  std::string reason;  // "Medium error. Write error."
};
std::optional<FailedWrite> failedWrite(const std::vector<BurnMessage>& messages);

// The write speed libburn takes (units of 1000 bytes/s of raw CD data,
// 0 for the fastest) for a requested speed in KB/s of user data, where
// 150 KB/s is single speed.
int libburnWriteSpeed(std::optional<float> requestedKBps);

}  // namespace tessaline::libburn
