#include "devices/writer_list.h"

#include <algorithm>

namespace tessaline {

std::vector<WriterRecord> writerRecords(const std::vector<std::shared_ptr<Writer>>& devices) {
  std::vector<WriterRecord> records;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    WriterRecord record;
    record.DRDeviceIndex = static_cast<int>(i);
    record.DRDeviceIORegistryPath = devices[i]->ioRegistryEntryPath();
    record.DRDeviceDisplayName = devices[i]->displayName();
    record.DRDeviceName = lastPathComponent(record.DRDeviceIORegistryPath);
    record.toolDeviceName = devices[i]->toolDeviceName();
    records.push_back(std::move(record));
  }
  std::stable_sort(records.begin(), records.end(), [](const WriterRecord& a, const WriterRecord& b) {
    if (a.DRDeviceName != b.DRDeviceName) return a.DRDeviceName < b.DRDeviceName;
    return a.DRDeviceIORegistryPath < b.DRDeviceIORegistryPath;
  });
  return records;
}

}  // namespace tessaline
