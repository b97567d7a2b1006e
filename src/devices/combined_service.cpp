#include "devices/combined_service.h"

namespace tessaline {

void CombinedService::addBackend(std::unique_ptr<DiscRecordingService> backend) {
  connect(backend.get(), &DiscRecordingService::deviceStatusChanged, this, &DiscRecordingService::deviceStatusChanged);
  connect(backend.get(), &DiscRecordingService::deviceAppeared, this, &DiscRecordingService::deviceAppeared);
  connect(backend.get(), &DiscRecordingService::deviceDisappeared, this, &DiscRecordingService::deviceDisappeared);
  backends_.push_back(std::move(backend));
}

std::vector<std::shared_ptr<Writer>> CombinedService::devices() {
  std::vector<std::shared_ptr<Writer>> all;
  for (const auto& backend : backends_) {
    auto some = backend->devices();
    all.insert(all.end(), some.begin(), some.end());
  }
  return all;
}

std::vector<MountEntry> CombinedService::serviceMounts() const {
  std::vector<MountEntry> all;
  for (const auto& backend : backends_) {
    auto some = backend->serviceMounts();
    all.insert(all.end(), some.begin(), some.end());
  }
  return all;
}

void CombinedService::startNotifications() {
  for (const auto& backend : backends_) backend->startNotifications();
}

}  // namespace tessaline
