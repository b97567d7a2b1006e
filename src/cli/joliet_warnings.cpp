#include "cli/joliet_warnings.h"

#include <QJsonObject>

#include "burn/image_tool.h"
#include "common/records.h"

namespace tessaline::cli {

std::vector<JolietNameWarning> nextSessionJolietWarnings(appController& controller,
                                                         const std::vector<StagedEntry>& staged, ImageToolKind tool) {
  SessionNameTree tree;
  const auto& mountPath = controller.statusController().content().mountPath;
  if (mountPath && !controller.hidePreviousSessions()) tree.addTreeOnDisk(*mountPath);
  for (const StagedEntry& e : staged) {
    const SessionEntryKind kind = e.type == StagedType::File     ? SessionEntryKind::File
                                  : e.type == StagedType::Folder ? SessionEntryKind::Folder
                                                                 : SessionEntryKind::Other;
    tree.add(e.path, kind);
  }
  return jolietNameWarnings(tree, jolietEncodingOf(tool));
}

QJsonArray jolietWarningsJson(const std::vector<JolietNameWarning>& warnings) {
  QJsonArray list;
  for (const auto& w : warnings) {
    QJsonObject o;
    o[QStringLiteral("path")] = displayName(w.path);
    o[QStringLiteral("joliet")] = QString::fromUtf8(w.jolietName.c_str());
    o[QStringLiteral("substituted")] = w.substituted;
    o[QStringLiteral("cut")] = w.cut;
    if (!w.collidesWith.empty()) o[QStringLiteral("collidesWith")] = displayName(w.collidesWith);
    o[QStringLiteral("message")] = describeJolietWarning(w);
    list.append(o);
  }
  return list;
}

}  // namespace tessaline::cli
