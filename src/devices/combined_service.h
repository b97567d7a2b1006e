#pragma once
// One service over several backends: the real drives first, then the
// emulated writers, as the writer list shows them.

#include <memory>
#include <vector>

#include "devices/disc_recording_service.h"

namespace tessaline {

class CombinedService : public DiscRecordingService {
  Q_OBJECT
 public:
  explicit CombinedService(QObject* parent = nullptr) : DiscRecordingService(parent) {}

  // Takes a backend; writers are listed in the order backends were added.
  void addBackend(std::unique_ptr<DiscRecordingService> backend);

  std::vector<std::shared_ptr<Writer>> devices() override;
  std::vector<MountEntry> serviceMounts() const override;
  void startNotifications() override;

 private:
  std::vector<std::unique_ptr<DiscRecordingService>> backends_;
};

}  // namespace tessaline
