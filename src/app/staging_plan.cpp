#include "app/staging_plan.h"

#include "catalogue/burn_configuration.h"
#include "staging/alias_resolution.h"
#include "staging/collect.h"
#include "staging/fork_splitting.h"
#include "staging/staging_folder.h"
#include "staging/staging_journal.h"

#include <optional>
#include <string>

namespace tessaline {

void runStagingPlan(const StagingPlan& plan, const StagingFolder& folder, StagingJournal* journal) {
  const auto stopped = [&plan] { return plan.cancel && plan.cancel->load(); };
  const auto incremental = [&plan] { return plan.incremental; };
  for (const BurnItem& item : plan.items) {
    if (stopped()) return;
    tessaline::collectFiles({item}, folder, incremental, plan.mountPath, plan.resolveAliases, journal, plan.changeTest);
  }
  const auto& root = folder.stagingPath;
  if (stopped()) return;
  if (plan.resolveAliases) tessaline::resolveAliases(root, plan.mountPath, incremental, journal, plan.changeTest);
  if (stopped()) return;
  if (plan.splitForks) tessaline::splitForksAtPath(root, journal);
  if (stopped()) return;
  if (plan.storeConfiguration && tessaline::writeSettingsToPath(root, plan.items) && journal != nullptr) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(root / kBurnConfigurationFileName, ec);
    journal->record(root / kBurnConfigurationFileName, StagedType::File, ec ? 0 : size, StagingReason::Catalogue);
  }
}

bool sessionAddsNothing(const std::vector<StagedEntry>& staged, const std::filesystem::path& stagingRoot,
                        const std::filesystem::path& mountPath) {
  for (const StagedEntry& entry : staged) {
    // A folder the disc holds already brings nothing but, at most, a date.
    if (entry.type == StagedType::Folder && entry.reason != StagingReason::New && entry.reason != StagingReason::Full)
      continue;
    if (entry.reason == StagingReason::Catalogue) {
      // The same sources: the sizes stored beside them change with every look.
      const auto mine = readBurnConfigurationFile(stagingRoot / entry.path);
      const auto discs = readBurnConfigurationFile(mountPath / entry.path);
      if (mine && discs && parseBurnConfiguration(*mine) == parseBurnConfiguration(*discs)) continue;
    }
    return false;
  }
  return true;
}

QString unreadableSourcesDetail(const std::vector<std::pair<std::string, std::string>>& unreadable) {
  QStringList lines;
  for (const auto& [path, why] : unreadable) {
    // A copy's message names the file already.
    const QString reason = QString::fromStdString(why);
    lines << (why.find(path) != std::string::npos ? reason : QStringLiteral("%1: %2").arg(displayPath(path), reason));
  }
  return lines.join(QLatin1Char('\n'));
}

QString linksTooLongDetail(const std::vector<StagedEntry>& staged, const ImageTool& tool) {
  const std::uint64_t longest = longestLinkTarget(tool.kind);
  QStringList lines;
  for (const StagedEntry& e : staged) {
    if (e.type != StagedType::Link || e.bytes <= longest) continue;
    lines << QStringLiteral("%1: the link's target is %2 bytes long; %3 writes link targets of at most %4 bytes.")
                 .arg(displayName(e.path))
                 .arg(e.bytes)
                 .arg(describeImageTool(tool))
                 .arg(longest);
  }
  if (!lines.isEmpty() && tool.kind != ImageToolKind::Xorrisofs)
    lines << QStringLiteral("xorrisofs (package xorriso) writes them up to %1 bytes.")
                 .arg(longestLinkTarget(ImageToolKind::Xorrisofs));
  return lines.join(QLatin1Char('\n'));
}

std::vector<JolietNameWarning> nextSessionJolietWarnings(const std::optional<std::filesystem::path>& discTree,
                                                         const std::vector<StagedEntry>& staged, ImageToolKind tool) {
  SessionNameTree tree;
  if (discTree) tree.addTreeOnDisk(*discTree);
  for (const StagedEntry& e : staged) {
    const SessionEntryKind kind = e.type == StagedType::File     ? SessionEntryKind::File
                                  : e.type == StagedType::Folder ? SessionEntryKind::Folder
                                                                 : SessionEntryKind::Other;
    tree.add(e.path, kind);
  }
  return jolietNameWarnings(tree, jolietEncodingOf(tool));
}

}  // namespace tessaline
