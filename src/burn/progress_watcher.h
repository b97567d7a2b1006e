#pragma once
// Shows how far the image build has gone: polls the size of the image file
// the tool is writing, every 0.2 seconds on the main thread, as a percentage
// of the size the burn list is expected to take. Values above 100 are
// possible (the estimate is only an estimate).
//
// A target size of 0 (an empty burn list, or sizes that are all 0), or one
// that is not a finite positive number, has no percentage: the bar then shows
// 0 while the image is absent or empty and 100 once it holds any bytes, so it
// never receives NaN or infinity.

#include <QObject>
#include <QTimer>

#include <filesystem>

#include "common/progress_indicator.h"

namespace tessaline {

class ProgressWatcher : public QObject {
  Q_OBJECT
 public:
  static constexpr int kIntervalMs = 200;

  explicit ProgressWatcher(QObject* parent = nullptr);
  ~ProgressWatcher() override;

  // Makes the bar determinate at 0.001 and starts polling path. The bar is
  // not owned and must outlive the watching (or be given as nullptr).
  void startWatching(const std::filesystem::path& path, double targetSize, ProgressIndicator* indicator);
  // Stops polling; the bar keeps its last value.
  void stopWatching();

 public Q_SLOTS:
  // One poll; the timer calls it.
  void checkProgress();

 private:
  double progress_ = 0.0;
  double targetSize_ = 0.0;
  QTimer progressTimer_;
  std::filesystem::path filePath_;
  ProgressIndicator* indicator_ = nullptr;
};

}  // namespace tessaline
