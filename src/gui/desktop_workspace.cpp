#include "gui/desktop_workspace.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QIcon>

namespace tessaline::gui {

QVariant DesktopWorkspace::iconForFile(const std::filesystem::path& path) {
  const QByteArray bytes = QByteArray::fromStdString(path.native());
  const QString name = QFile::decodeName(bytes);
  if (QFile::encodeName(name) == bytes) return QVariant::fromValue(provider_.icon(QFileInfo(name)));
  std::error_code ec;
  const bool folder = std::filesystem::is_directory(path, ec);
  return QVariant::fromValue(provider_.icon(folder ? QAbstractFileIconProvider::Folder : QAbstractFileIconProvider::File));
}

QVariant DesktopWorkspace::imageNamed(const QString& name) {
  return QVariant::fromValue(QIcon(QStringLiteral(":/images/") + name));
}

void DesktopWorkspace::openUrl(const QUrl& url) { QDesktopServices::openUrl(url); }

}  // namespace tessaline::gui
