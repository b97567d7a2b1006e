#include "common/log.h"

#include <syslog.h>

#include <mutex>

namespace tessaline {
namespace {

std::mutex gLogMutex;
LogCapture* gCurrentCapture = nullptr;

void openLogOnce() {
  static std::once_flag once;
  std::call_once(once, [] { openlog("tessaline", LOG_PID, LOG_USER); });
}

}  // namespace

void logLine(std::string_view line) {
  openLogOnce();
  const std::string text(line);
  syslog(LOG_NOTICE, "%s", text.c_str());
  std::lock_guard lock(gLogMutex);
  if (gCurrentCapture != nullptr && gCurrentCapture->sink_) gCurrentCapture->sink_(text);
}

LogCapture::LogCapture(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {
  std::lock_guard lock(gLogMutex);
  previous_ = gCurrentCapture;
  gCurrentCapture = this;
}

LogCapture::~LogCapture() {
  std::lock_guard lock(gLogMutex);
  gCurrentCapture = previous_;
}

}  // namespace tessaline
