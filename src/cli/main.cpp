#include <QCoreApplication>

#include <cstdio>

#include "cli/commands.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Tessaline"));
  QCoreApplication::setApplicationName(QStringLiteral("Tessaline"));
  QStringList args = QCoreApplication::arguments().mid(1);
  if (args.isEmpty()) {
    std::fputs("usage: tessaline-cli COMMAND [ARGS]\n", stderr);
    return 2;
  }
  const QString command = args.takeFirst();
  if (command == QLatin1String("writer")) return tessaline::cli::runWriterCommand(args);
  std::fprintf(stderr, "tessaline-cli: unknown command '%s'\n", qPrintable(command));
  return 2;
}
