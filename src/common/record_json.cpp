#include "common/record_json.h"

namespace tessaline {

QJsonObject toJson(const DiscStatusRecord& record) {
  QJsonObject o;
  if (record.deviceStatusString) o[QLatin1String(keys::deviceStatusString)] = *record.deviceStatusString;
  if (record.eraseable) o[QLatin1String(keys::eraseable)] = *record.eraseable;
  if (record.spaceFree) o[QLatin1String(keys::spaceFree)] = static_cast<double>(*record.spaceFree);
  if (record.spaceUsed) o[QLatin1String(keys::spaceUsed)] = static_cast<double>(*record.spaceUsed);
  if (record.title) o[QLatin1String(keys::title)] = *record.title;
  if (record.mountPath) o[QLatin1String(keys::mountPath)] = displayPath(*record.mountPath);
  return o;
}

QJsonObject toJson(const WriterRecord& record) {
  QJsonObject o;
  o[QLatin1String(keys::DRDeviceIndex)] = record.DRDeviceIndex;
  o[QLatin1String(keys::DRDeviceIORegistryPath)] = displayName(record.DRDeviceIORegistryPath);
  o[QLatin1String(keys::DRDeviceDisplayName)] = record.DRDeviceDisplayName;
  o[QLatin1String(keys::DRDeviceName)] = displayName(record.DRDeviceName);
  o[QLatin1String(keys::toolDeviceName)] = displayName(record.toolDeviceName);
  return o;
}

QJsonObject toJson(const BurnItem& item) {
  QJsonObject o;
  o[QLatin1String(keys::aPath)] = displayPath(item.aPath);
  o[QLatin1String(keys::aPathComponent)] = displayName(item.aPathComponent);
  o[QLatin1String(keys::isPermanent)] = QString::fromStdString(item.isPermanent);
  o[QLatin1String(keys::sizeInMB)] = item.sizeInMB;
  return o;
}

QJsonArray toJson(const std::vector<BurnItem>& items) {
  QJsonArray a;
  for (const BurnItem& item : items) a.append(toJson(item));
  return a;
}

}  // namespace tessaline
