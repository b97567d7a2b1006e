#pragma once
// The tree update: copies one source (a file or a folder tree) into the
// staging folder, in full or only what is new or newer than the disc's copy.

#include "staging/file_operations.h"
#include "staging/staging_journal.h"

#include <filesystem>
#include <optional>

namespace tessaline {

// source: the file or folder to stage (a link to a folder is followed, a link
// to a file is staged as the link). toPath: its place in the staging folder.
// comparePath: its counterpart on the mounted disc, read only when incremental.
// aliasFlag: alias resolution will run ("resolveDisabled" off): links are then
// always selected and staged pointing at their final target.
// changeTest: how an entry is told apart from the disc's copy.
// stagingArea: the folder being filled; a source that holds it (a home folder
// holding TMPDIR) is staged without it, or it would be copied into itself.
void updateSourcePath(const std::filesystem::path& source, const std::filesystem::path& toPath, bool incremental,
                      const std::optional<std::filesystem::path>& comparePath, bool aliasFlag,
                      StagingJournal* journal = nullptr,
                      kplextensions::ChangeTest changeTest = kplextensions::ChangeTest::SizeAndDate,
                      const std::filesystem::path& stagingArea = {});

}  // namespace tessaline
