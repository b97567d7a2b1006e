// The burn list's actions: adding sources by every route, removing them,
// and which rows may be selected.

#include <sys/stat.h>

#include "app/app_controller.h"
#include "staging/source_paths.h"

namespace tessaline {
namespace {

std::filesystem::path workingFolder() {
  std::error_code ec;
  const auto here = std::filesystem::current_path(ec);
  return ec ? std::filesystem::path("/") : here;
}

}  // namespace

std::optional<std::string> appController::admitSource(const std::filesystem::path& path,
                                                      std::filesystem::path& normal) const {
  // A source enters the list absolute and lexically normal, so that what the
  // disc remembers of it can be found again from anywhere, and its last
  // component names exactly the entry it puts at the top of the disc.
  auto normalised = normaliseSourcePath(path, workingFolder());
  if (!normalised) return normalised.error().message;
  normal = std::move(normalised).value();
  struct stat st {};
  if (::stat(normal.c_str(), &st) != 0) return std::string("there is no such file or folder");
  return std::nullopt;
}

bool appController::addSourceToController(const std::filesystem::path& path) {
  std::filesystem::path normal;
  if (const auto why = admitSource(path, normal)) {
    refuseSources({{path, *why}});
    return false;
  }
  return addAdmittedSource(normal, false);
}

bool appController::addAdmittedSource(const std::filesystem::path& path, bool rememberedByDisc) {
  const std::string name = lastPathComponent(path);
  bool namesake = false;
  bool sourceNamesake = false;
  // The whole list is scanned: a permanent namesake must not hide a source one.
  for (const BurnItem& item : sessionContentController_.items()) {
    if (item.aPathComponent == name) {
      namesake = true;
      if (item.isPermanent == "0") sourceNamesake = true;
    }
  }
  if (sourceNamesake) {
    if (outlets_.mainWindow != nullptr) outlets_.mainWindow->beep();
    return false;
  }
  BurnItem item;
  item.aPath = path;
  item.aPathComponent = name;
  item.rememberedByDisc = rememberedByDisc;
  if (outlets_.workspace != nullptr) item.aIcon = outlets_.workspace->iconForFile(path);
  item.sizeInMB = namesake ? incrementalSizeInMBWithPath(path) : sizeInMBWithPath(path);
  sessionContentController_.addObject(std::move(item));
  return true;
}

void appController::addSources(const std::vector<std::filesystem::path>& paths) {
  std::vector<std::pair<std::filesystem::path, std::string>> refused;
  for (const auto& path : paths) {
    std::filesystem::path normal;
    if (const auto why = admitSource(path, normal)) {
      refused.emplace_back(path, *why);
      continue;
    }
    addAdmittedSource(normal, false);
  }
  if (!refused.empty()) refuseSources(refused);
}

void appController::refuseSources(const std::vector<std::pair<std::filesystem::path, std::string>>& refused) {
  QStringList lines;
  for (const auto& [path, why] : refused)
    lines << QStringLiteral("%1: %2").arg(displayPath(path), QString::fromStdString(why));
  showAlert("cannotAddSource", "cannotAddSourceLong", {QStringLiteral("OK")}, {}, lines.join(QLatin1Char('\n')));
}

void appController::addSourcePath() {
  if (outlets_.mainWindow == nullptr) return;
  outlets_.mainWindow->beginOpenPanel(strings_.localized("OpenDialogAddButton"),
                                      [this](int returnCode, std::vector<std::filesystem::path> filenames) {
                                        openPanelDidEnd(returnCode, filenames);
                                      });
}

void appController::openPanelDidEnd(int returnCode, const std::vector<std::filesystem::path>& filenames) {
  if (returnCode != 1) return;
  addSources(filenames);
}

void appController::removeSourcePath() {
  sessionContentController_.removeSelected();
  if (outlets_.mainWindow != nullptr) outlets_.mainWindow->deselectAllRows();
}

int appController::draggingEntered(const DragInfo& info) const {
  return info.types.contains(QLatin1String(kFileNamesDragType)) ? 1 : 0;
}

bool appController::performDragOperation(const DragInfo& info) {
  if (info.types.contains(QLatin1String(kFileNamesDragType))) addSources(info.fileNames);
  return true;
}

void appController::openFiles(const std::vector<std::filesystem::path>& filenames) { addSources(filenames); }

bool appController::shouldSelectRow(int row) const {
  const auto& items = sessionContentController_.items();
  if (row < 0 || static_cast<std::size_t>(row) >= items.size()) return false;
  return items[static_cast<std::size_t>(row)].isPermanent != "1";
}

}  // namespace tessaline
