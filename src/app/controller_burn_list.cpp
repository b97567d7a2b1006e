// The burn list's actions: adding sources by every route, removing them,
// and which rows may be selected.

#include "app/app_controller.h"

namespace tessaline {

void appController::addSourceToController(const std::filesystem::path& path) {
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
    return;
  }
  BurnItem item;
  item.aPath = path;
  item.aPathComponent = name;
  if (outlets_.workspace != nullptr) item.aIcon = outlets_.workspace->iconForFile(path);
  item.sizeInMB = namesake ? incrementalSizeInMBWithPath(path) : sizeInMBWithPath(path);
  sessionContentController_.addObject(std::move(item));
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
  for (const auto& path : filenames) addSourceToController(path);
}

void appController::removeSourcePath() {
  sessionContentController_.removeSelected();
  if (outlets_.mainWindow != nullptr) outlets_.mainWindow->deselectAllRows();
}

int appController::draggingEntered(const DragInfo& info) const {
  return info.types.contains(QLatin1String(kFileNamesDragType)) ? 1 : 0;
}

bool appController::performDragOperation(const DragInfo& info) {
  if (info.types.contains(QLatin1String(kFileNamesDragType)))
    for (const auto& path : info.fileNames) addSourceToController(path);
  return true;
}

void appController::openFiles(const std::vector<std::filesystem::path>& filenames) {
  for (const auto& path : filenames) addSourceToController(path);
}

bool appController::shouldSelectRow(int row) const {
  const auto& items = sessionContentController_.items();
  if (row < 0 || static_cast<std::size_t>(row) >= items.size()) return false;
  return items[static_cast<std::size_t>(row)].isPermanent != "1";
}

}  // namespace tessaline
