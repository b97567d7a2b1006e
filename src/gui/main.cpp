// tessaline: the desktop application. One per user: a second start hands
// its files to the running one.

#include <QApplication>
#include <QIcon>

#include <cstdio>

#include "gui/desktop_app.h"
#include "gui/file_arguments.h"
#include "gui/single_instance.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);  // takes Qt's own options out of argv
  QApplication::setApplicationName(QStringLiteral("Tessaline"));
  QApplication::setOrganizationName(QStringLiteral("Tessaline"));
  QApplication::setApplicationVersion(QStringLiteral(TESSALINE_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("tessaline"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tessaline.png")));

  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  if (ec) cwd = "/";
  const auto commandLine = tessaline::gui::parseCommandLine(argc, argv, cwd);
  if (commandLine.help) {
    std::printf("Usage: tessaline [FILE...]\n"
                "Keeps a recordable CD up to date with folders on your disk.\n"
                "The files and folders given are added to the burn list; when Tessaline\n"
                "is running already, they are added to its window.\n");
    return 0;
  }
  if (commandLine.version) {
    std::printf("tessaline %s\n", TESSALINE_VERSION);
    return 0;
  }

  const QString socketName = tessaline::gui::instanceSocketName();
  if (tessaline::gui::handToRunningInstance(commandLine.files, socketName)) return 0;

  tessaline::gui::DesktopApp desktop;
  tessaline::gui::InstanceServer server([&desktop](std::vector<std::filesystem::path> files) {
    desktop.openFiles(files);
  });
  if (!server.listen(socketName)) {
    // Another start won the race to listen: hand over to it instead.
    if (tessaline::gui::handToRunningInstance(commandLine.files, socketName)) return 0;
  }
  desktop.start(commandLine.files);
  return app.exec();
}
