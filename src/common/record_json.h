#pragma once
// The records as JSON objects, for the command line's --json output.

#include <QJsonArray>
#include <QJsonObject>

#include <vector>

#include "common/records.h"

namespace tessaline {

QJsonObject toJson(const DiscStatusRecord& record);
QJsonObject toJson(const WriterRecord& record);
// A burn item without "aIcon"; paths that are not UTF-8 are shown escaped.
QJsonObject toJson(const BurnItem& item);
QJsonArray toJson(const std::vector<BurnItem>& items);

}  // namespace tessaline
