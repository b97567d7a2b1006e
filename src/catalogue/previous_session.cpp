#include "catalogue/previous_session.h"

#include <dirent.h>

#include <string>

#include "catalogue/burn_configuration.h"

namespace tessaline {

std::vector<std::string> discRootNames(const std::filesystem::path& mountPath) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(mountPath.c_str());
  if (dir == nullptr) return names;
  // readdir, not a sorted listing: the folder's own order.
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  return names;
}

std::vector<BurnItem> permanentItemsForDisc(const std::filesystem::path& mountPath, const QVariant& icon) {
  std::vector<BurnItem> items;
  for (const std::string& name : discRootNames(mountPath)) {
    if (name == kBurnConfigurationFileName) continue;
    BurnItem item;
    std::string path = mountPath.native();
    path += '/';
    path += name;
    item.aPath = std::filesystem::path(std::move(path));
    item.aPathComponent = name;
    item.aIcon = icon;
    item.isPermanent = std::string(1, '1');  // not = "1": GCC 12 warns falsely (-Wrestrict)
    item.sizeInMB = 0.0;
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace tessaline
