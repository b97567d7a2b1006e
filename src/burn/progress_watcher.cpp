#include "burn/progress_watcher.h"

#include <sys/stat.h>

#include <cmath>

namespace tessaline {

ProgressWatcher::ProgressWatcher(QObject* parent) : QObject(parent) {
  progressTimer_.setInterval(kIntervalMs);
  progressTimer_.setSingleShot(false);
  connect(&progressTimer_, &QTimer::timeout, this, &ProgressWatcher::checkProgress);
}

ProgressWatcher::~ProgressWatcher() { progressTimer_.stop(); }

void ProgressWatcher::startWatching(const std::filesystem::path& path, double targetSize,
                                    ProgressIndicator* indicator) {
  filePath_ = path;
  indicator_ = indicator;
  if (indicator_ != nullptr) {
    indicator_->setIndeterminate(false);
    indicator_->setDoubleValue(0.001);
  }
  targetSize_ = targetSize;
  progressTimer_.start();
}

void ProgressWatcher::stopWatching() { progressTimer_.stop(); }

void ProgressWatcher::checkProgress() {
  struct stat st {};
  if (filePath_.empty() || ::lstat(filePath_.c_str(), &st) != 0) return;  // not created yet
  const auto size = static_cast<float>(st.st_size);
  double p = 0.0;
  if (std::isfinite(targetSize_) && targetSize_ > 0.0) {
    p = static_cast<double>(size) / (targetSize_ / 100.0);
    if (!std::isfinite(p)) p = 100.0;  // a target too small to divide by
  } else {
    p = size > 0.0f ? 100.0 : 0.0;  // no estimate: nothing yet, or something
  }
  if (p == progress_) return;
  progress_ = p;
  if (indicator_ != nullptr) indicator_->setDoubleValue(p);
}

}  // namespace tessaline
