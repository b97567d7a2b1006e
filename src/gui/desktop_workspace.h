#pragma once
// Icons, the application's images and opening web pages.

#include <QFileIconProvider>

#include "app/window_parts.h"

namespace tessaline::gui {

class DesktopWorkspace : public Workspace {
 public:
  // The file's icon as a QIcon. A name whose bytes do not survive the trip
  // through QString (not UTF-8) gets the generic icon of its type.
  QVariant iconForFile(const std::filesystem::path& path) override;
  // An image of the resources (":/images/NAME") as a QIcon.
  QVariant imageNamed(const QString& name) override;
  void openUrl(const QUrl& url) override;

 private:
  QFileIconProvider provider_;
};

}  // namespace tessaline::gui
