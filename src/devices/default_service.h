#pragma once

#include <memory>

#include "devices/combined_service.h"

namespace tessaline {

// The service the applications use: real drives through libburn (unless
// TESSALINE_NO_REAL_DRIVES is set; TESSALINE_SYSFS_ROOT moves the sysfs tree
// they are looked up in), then the emulated writers of the writers folder.
std::unique_ptr<CombinedService> createDefaultService();

}  // namespace tessaline
