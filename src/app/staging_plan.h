#pragma once
// The staging steps of one burn as one plan: everything they need is taken
// on the main thread, so that the steps themselves can run on a worker
// thread without touching the controller.

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include <QString>
#include <QStringList>

#include "burn/image_tool.h"
#include "burn/joliet_names.h"
#include "common/records.h"
#include "staging/file_operations.h"
#include "staging/staging_journal.h"

namespace tessaline {

// What the next session would write, and what the disc keeps although its
// source is gone (sessions only add: a later session cannot delete).
struct SessionPreview {
  std::vector<StagedEntry> entries;
  std::vector<std::string> deletedSinceLastSession;  // paths on the disc, bytes
  // Sources that could not be read (path, why): a burn refuses them.
  std::vector<std::pair<std::string, std::string>> unreadable;
  // Nothing new or newer: a burn would write no session.
  bool addsNothing = false;
};

// The detail of the refusal of a burn whose sources could not all be read:
// one line per source.
QString unreadableSourcesDetail(const std::vector<std::pair<std::string, std::string>>& unreadable);

// The detail of the refusal of a burn whose staged links point further than
// the image tool writes (one line per link, and where a tool writes more);
// empty when every link fits.
QString linksTooLongDetail(const std::vector<StagedEntry>& staged, const ImageTool& tool);

// The names of the next session that its Joliet tree will show differently:
// the staged entries over the disc's tree (none when the session hides the
// disc's), by the rules of the image tool the burn would use.
std::vector<JolietNameWarning> nextSessionJolietWarnings(const std::optional<std::filesystem::path>& discTree,
                                                         const std::vector<StagedEntry>& staged, ImageToolKind tool);

struct StagingFolder;
class StagingJournal;

struct StagingPlan {
  std::vector<BurnItem> items;
  bool incremental = false;
  std::optional<std::filesystem::path> mountPath;
  bool resolveAliases = true;   // "resolveDisabled" off
  bool splitForks = true;       // "disableSplitForks" off
  bool storeConfiguration = false;
  // How an entry is told apart from the disc's copy ("compareContents").
  kplextensions::ChangeTest changeTest = kplextensions::ChangeTest::SizeAndDate;
  // Set from the main thread to stop before the next item or step.
  std::shared_ptr<const std::atomic<bool>> cancel;
};

// Collection, alias resolution, fork splitting and the catalogue, in that
// order, into the given staging folder.
void runStagingPlan(const StagingPlan& plan, const StagingFolder& folder, StagingJournal* journal);

// True when an incrementally staged session would bring the disc mounted at
// mountPath nothing: no entry but folders the disc holds already, and a
// stored configuration, if any, equal to the disc's own.
bool sessionAddsNothing(const std::vector<StagedEntry>& staged, const std::filesystem::path& stagingRoot,
                        const std::filesystem::path& mountPath);

}  // namespace tessaline
