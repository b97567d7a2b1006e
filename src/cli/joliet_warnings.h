#pragma once
// `preview`'s list of the names that the next session's Joliet tree will show
// differently, as JSON.

#include <QJsonArray>

#include <vector>

#include "burn/joliet_names.h"

namespace tessaline::cli {

QJsonArray jolietWarningsJson(const std::vector<JolietNameWarning>& warnings);

}  // namespace tessaline::cli
