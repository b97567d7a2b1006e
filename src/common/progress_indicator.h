#pragma once
// A progress bar or spinner the window shows. The image progress watcher
// drives one; the controller drives the window's others.

namespace tessaline {

class ProgressIndicator {
 public:
  virtual ~ProgressIndicator() = default;
  virtual void setUsesThreadedAnimation(bool on) = 0;
  virtual void setIndeterminate(bool on) = 0;
  virtual void setDoubleValue(double percent) = 0;  // 0 to 100
  virtual void startAnimation() = 0;
  virtual void stopAnimation() = 0;
};

}  // namespace tessaline
