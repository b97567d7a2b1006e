#pragma once
// The writer list: one record per writer of the service, sorted as the
// writer menu shows them.

#include <memory>
#include <vector>

#include "common/records.h"
#include "devices/disc_recording_service.h"

namespace tessaline {

// A record per writer, "DRDeviceIndex" counting the service's order from 0,
// then sorted by "DRDeviceName" and, among equal names, by
// "DRDeviceIORegistryPath" (byte order). "toolDeviceName" is what the writer
// itself names for the image tool's -M: a drive's device node, an emulated
// writer's medium file; these are unique, so no counter is appended.
std::vector<WriterRecord> writerRecords(const std::vector<std::shared_ptr<Writer>>& devices);

}  // namespace tessaline
