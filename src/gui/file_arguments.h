#pragma once
// Files reaching the application from outside: drops (text/uri-list), the
// command line (the desktop file's %F) and a second start handing its files
// to the running one. Paths are kept as the exact bytes they arrived as.

#include <QByteArray>

#include <filesystem>
#include <optional>
#include <vector>

#include "app/app_controller.h"

class QMimeData;

namespace tessaline::gui {

// The local file paths of a text/uri-list, in order: file: URLs with an
// empty or "localhost" host, percent-decoded to bytes. Other URLs, comments
// and malformed lines are left out.
std::vector<std::filesystem::path> localPathsFromUriList(const QByteArray& uriList);

// What a drop offers, for the controller: the uri-list type only when it
// holds at least one local file, so text and web addresses are refused.
DragInfo dragInfoFromMimeData(const QMimeData* mime);

struct CommandLine {
  std::vector<std::filesystem::path> files;  // absolute, in order
  bool help = false;
  bool version = false;
};

// The arguments left after QApplication took its own: options, then files.
// A relative path is made absolute against `cwd` (without normalising it).
// "--" ends the options.
CommandLine parseCommandLine(int argc, char** argv, const std::filesystem::path& cwd);

// The message a second start sends: a header line, then each path as a
// 4-byte big-endian length and its bytes.
QByteArray encodePaths(const std::vector<std::filesystem::path>& paths);
// Nothing when the message is malformed; relative or empty paths and paths
// with a NUL byte are dropped.
std::optional<std::vector<std::filesystem::path>> decodePaths(const QByteArray& message);

}  // namespace tessaline::gui
