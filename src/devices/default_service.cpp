#include "devices/default_service.h"

#include <cstdlib>

#include "devices/emulated/emulated_service.h"
#include "devices/libburn/libburn_service.h"

namespace tessaline {

std::unique_ptr<CombinedService> createDefaultService() {
  auto service = std::make_unique<CombinedService>();
  const char* noDrives = std::getenv("TESSALINE_NO_REAL_DRIVES");
  if (noDrives == nullptr || *noDrives == '\0' || *noDrives == '0') {
    // TESSALINE_SYSFS_ROOT names another sysfs tree to find the drives in
    // (the tests' simulated drive is listed in one of its own).
    libburn::LibburnService::Options options;
    if (const char* sys = std::getenv("TESSALINE_SYSFS_ROOT"); sys != nullptr && *sys != '\0') options.sysRoot = sys;
    service->addBackend(std::make_unique<libburn::LibburnService>(std::move(options)));
  }
  service->addBackend(std::make_unique<emulated::EmulatedService>(emulated::defaultWritersDir()));
  return service;
}

}  // namespace tessaline
