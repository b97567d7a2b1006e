#include "cli/joliet_warnings.h"

#include <QJsonObject>

#include "common/records.h"

namespace tessaline::cli {

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
