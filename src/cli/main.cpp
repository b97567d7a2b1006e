#include <QCoreApplication>

#include <cstdio>
#include <cstring>

#include "cli/commands.h"

namespace {

void printUsage(FILE* out) {
  std::fputs(
      "usage: tessaline-cli COMMAND [ARGS]\n"
      "\n"
      "Keeps a recordable CD up to date with folders: each burn adds one session\n"
      "holding what is new or newer, merged with the disc's earlier tree.\n"
      "\n"
      "commands:\n"
      "  status    the medium in the selected writer\n"
      "  mount     ask the system to mount the disc\n"
      "  writers   the writers, in menu order\n"
      "  list      the burn list the next burn would use\n"
      "  preview   every entry the next session would write, and why\n"
      "  burn      burn the next session\n"
      "  erase     erase a rewritable disc\n"
      "  verify    compare the disc with its sources\n"
      "  sessions  the disc's sessions\n"
      "  ls        what is on the mounted disc, and which session wrote it\n"
      "  config    read and change the preferences\n"
      "  writer    create and manage emulated writers and their media\n"
      "\n"
      "'tessaline-cli COMMAND --help' tells more.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Tessaline"));
  QCoreApplication::setApplicationName(QStringLiteral("Tessaline"));
  QStringList args = QCoreApplication::arguments().mid(1);
  std::vector<std::string> rawArgs;
  for (int i = 2; i < argc; ++i) rawArgs.emplace_back(argv[i]);
  if (args.isEmpty()) {
    printUsage(stderr);
    return 2;
  }
  const QString command = args.takeFirst();
  using namespace tessaline::cli;
  if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help")) {
    printUsage(stdout);
    return 0;
  }
  if (command == QLatin1String("writer")) return runWriterCommand(args);
  if (command == QLatin1String("writers")) return runWritersCommand(args);
  if (command == QLatin1String("status")) return runStatusCommand(args);
  if (command == QLatin1String("mount")) return runMountCommand(args);
  if (command == QLatin1String("list")) return runListCommand(args, rawArgs);
  if (command == QLatin1String("preview")) return runPreviewCommand(args, rawArgs);
  if (command == QLatin1String("burn")) return runBurnCommand(args, rawArgs);
  if (command == QLatin1String("erase")) return runEraseCommand(args);
  if (command == QLatin1String("config")) return runConfigCommand(args);
  if (command == QLatin1String("verify")) return runVerifyCommand(args, rawArgs);
  if (command == QLatin1String("sessions")) return runSessionsCommand(args);
  if (command == QLatin1String("ls")) return runLsCommand(args, rawArgs);
  std::fprintf(stderr, "tessaline-cli: unknown command '%s'\n", qPrintable(command));
  printUsage(stderr);
  return 2;
}
