#pragma once
// The names of the next session that its Joliet tree will show differently,
// for `preview`: the staged entries over the disc's tree (unless the session
// hides it), with the rules of the image tool the burn would use.

#include <QJsonArray>
#include <QStringList>

#include <vector>

#include "app/app_controller.h"
#include "burn/image_tool.h"
#include "burn/joliet_names.h"
#include "staging/staging_journal.h"

namespace tessaline::cli {

std::vector<JolietNameWarning> nextSessionJolietWarnings(appController& controller,
                                                         const std::vector<StagedEntry>& staged, ImageToolKind tool);
QJsonArray jolietWarningsJson(const std::vector<JolietNameWarning>& warnings);

}  // namespace tessaline::cli
