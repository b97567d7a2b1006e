#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "common/log.h"

namespace tessaline::cli {
namespace {

// One row per command: dispatch, the summary and each command's help come
// from here.
struct Command {
  const char* name;
  const char* summary;   // one line in the summary
  const char* synopsis;  // after "Usage: tessaline-cli "
  const char* help;      // what it does, then its options
  int (*run)(const Invocation&);
};

const Command kCommands[] = {
    {"status", "the medium in the selected writer", "status [--writer WRITER] [--json] [--watch]",
     "Shows the medium in the writer: its kind and state, its title, the free and used space, about how many\n"
     "more updates like the disc's usual one still fit, whether it can be erased, and where it is mounted.\n"
     "\n"
     "  --writer WRITER  the writer to use: its name, device path, display name or number in\n"
     "                   'tessaline-cli writers' (default: the first)\n"
     "  --json           a JSON object: the disc status record's keys, and present, blank, appendable,\n"
     "                   closed, sessions and freeBytes beside them\n"
     "  --watch          print the status again each time it changes, until interrupted; with --json,\n"
     "                   one object per line\n",
     runStatusCommand},
    {"mount", "ask the system to mount the disc", "mount [--writer WRITER]",
     "Asks the system to mount the disc in the writer when it has not done so itself (through UDisks2 for a\n"
     "drive), and prints where it is mounted.\n"
     "\n"
     "  --writer WRITER  the writer to use\n",
     runMountCommand},
    {"writers", "the writers, in menu order", "writers [--json]",
     "Lists the writers in the order the window's menu shows them: number, name, display name, device.\n"
     "\n"
     "  --json  a JSON array of the writer records; [] when there is no writer\n",
     runWritersCommand},
    {"list", "the burn list the next burn would use", "list [--writer WRITER] [--json] [SOURCE...]",
     "Prints the burn list the next burn would use: the entries at the top of the disc (\"on disc\"), then\n"
     "the sources the disc remembers and the SOURCE arguments, with their sizes, and the total.\n"
     "\n"
     "  --writer WRITER  the writer to use\n"
     "  --json           the burn items as a JSON array\n",
     runListCommand},
    {"preview", "a dry run of the next burn", "preview [--writer WRITER] [--json] [--hide-previous] [--checksum] [SOURCE...]",
     "A dry run of 'burn': the writer and disc it would use, every entry the next session would write and\n"
     "why, the session's size with its overhead on the disc, the free space after it, and whether it fits.\n"
     "Nothing is written. A refusal the burn would meet (no disc, a closed disc or one in an unsupported\n"
     "format, not enough space, a source that cannot be read) is printed as the burn prints it, and the\n"
     "exit status is 1.\n"
     "\n"
     "The reasons:\n"
     "  new        not on the disc yet\n"
     "  newer      on the disc, but older there\n"
     "  changed    on the disc with another size or date, or (--checksum) other contents\n"
     "  link       a symbolic link, written as the file or folder it points to\n"
     "  side file  an AppleDouble file keeping a file's resource fork and Finder information\n"
     "  catalogue  the .tessaline file listing the burn's sources (storeBurnConfiguration)\n"
     "  container  a folder the disc holds already, written only to hold newer entries\n"
     "  full       copied in full: the disc has nothing to compare with, --hide-previous, or\n"
     "             disableIncrementalUpdating\n"
     "  deleted    on the disc, but its source is gone; the disc keeps it (a session only adds)\n"
     "\n"
     "  --writer WRITER  the writer to use\n"
     "  --json           the preview as a JSON object\n"
     "  --hide-previous  preview a session that hides the disc's earlier content\n"
     "  --checksum       compare contents with the disc's copies instead of sizes and dates\n",
     runPreviewCommand},
    {"burn", "burn the next session",
     "burn [--writer WRITER] [--speed N] [--volume NAME] [--hide-previous] [--checksum] [--yes] [SOURCE...]",
     "Burns one session: what is new or changed since the disc's copy, merged with the disc's earlier tree,\n"
     "then verifies it (unless disableVerification is on). When the disc is up to date, nothing is written.\n"
     "\n"
     "  --writer WRITER  the writer to use\n"
     "  --speed N        the writing speed as a CD multiple (1x is 150 kB/s); 0, the default, is the fastest\n"
     "  --volume NAME    the volume name: at most 16 of a-z, A-Z, digits, space and _-.+; a continued disc\n"
     "                   keeps its own name unless this is given\n"
     "  --hide-previous  the new session shows only its own files\n"
     "  --checksum       compare contents with the disc's copies instead of sizes and dates\n"
     "  --yes            answer yes when a source has the name of an entry at the top of the disc\n",
     runBurnCommand},
    {"erase", "erase a rewritable disc", "erase [--writer WRITER] [--yes]",
     "Erases a rewritable disc (CD-RW), after asking. An interrupted erase leaves the disc unusable until it\n"
     "is erased again.\n"
     "\n"
     "  --writer WRITER  the writer to use\n"
     "  --yes            erase without asking\n",
     runEraseCommand},
    {"verify", "compare the disc with its sources", "verify [--writer WRITER] [--quick] [--json] [SOURCE...]",
     "Compares the mounted disc with its sources (those the disc remembers, or the SOURCE arguments), as a\n"
     "burn maps them, and reports each entry that is not the same: differs, newer (an update is pending),\n"
     "deleted (only on the disc), not burned (only in the source). Exits 0 only when nothing differs and\n"
     "nothing is pending.\n"
     "\n"
     "  --writer WRITER  the writer to use\n"
     "  --quick          compare sizes and dates instead of reading the contents\n"
     "  --json           the report as JSON\n",
     runVerifyCommand},
    {"sessions", "the disc's sessions", "sessions [--writer WRITER] [--json]",
     "Lists the disc's sessions: number, start block, length, date, volume name, and how many entries each\n"
     "added, replaced, or no longer shows (hidden by a session burned with --hide-previous).\n"
     "\n"
     "  --writer WRITER  the writer to use\n"
     "  --json           the sessions as JSON\n",
     runSessionsCommand},
    {"ls", "what the disc shows, and which session wrote it", "ls [--writer WRITER] [--json] [PATH]",
     "Lists what the disc shows, at PATH on the disc or at its top: for each entry the session that wrote it,\n"
     "its size in bytes, its modification date and its name. It reads the disc itself, so it works before\n"
     "the disc is mounted.\n"
     "\n"
     "  --writer WRITER  the writer to use\n"
     "  --json           the entries as JSON, with dates in UTC\n",
     runLsCommand},
    {"config", "read and change the preferences", "config list | get KEY | set KEY true|false | unset KEY",
     "Reads and changes the preferences. Each is a switch that is off when it is not set.\n"
     "\n"
     "  list               every key, with what it does and its value\n"
     "  get KEY            the value of one key\n"
     "  set KEY true|false stores a value (also yes/no, on/off, 1/0)\n"
     "  unset KEY          removes the key: it reads as off again\n",
     runConfigCommand},
    {"writer", "create and manage emulated writers and their media", "writer COMMAND ...", nullptr, runWriterCommand},
};

const Command* findCommand(const QString& name) {
  for (const Command& c : kCommands)
    if (name == QLatin1String(c.name)) return &c;
  return nullptr;
}

void printSummary(FILE* out) {
  std::fputs(
      "Usage: tessaline-cli [--quiet|--verbose] COMMAND [OPTION...] [ARGUMENT...]\n"
      "       tessaline-cli --help|--version\n"
      "       tessaline-cli help [COMMAND]\n"
      "\n"
      "Keeps a recordable CD up to date with folders: each burn adds one session\n"
      "holding what is new or newer, merged with the disc's earlier tree.\n"
      "\n"
      "Commands:\n",
      out);
  for (const Command& c : kCommands) std::fprintf(out, "  %-9s %s\n", c.name, c.summary);
  std::fputs(
      "  help      the help of a command\n"
      "\n"
      "Options:\n"
      "  --quiet    no progress and no remarks; errors are still printed\n"
      "  --verbose  the program's log lines on standard error too (they always go to the system log)\n"
      "  --version  the version\n"
      "\n"
      "'tessaline-cli help COMMAND' or 'tessaline-cli COMMAND --help' tells more.\n",
      out);
}

int unknownCommand(const QString& name) {
  printError(QStringLiteral("unknown command '%1'").arg(name));
  std::fputs("Try 'tessaline-cli --help'.\n", stderr);
  return kExitUsage;
}

}  // namespace

std::optional<QString> commandHelp(const QString& command) {
  const Command* c = findCommand(command);
  if (c == nullptr || c->help == nullptr) return std::nullopt;
  return QStringLiteral("Usage: tessaline-cli %1\n\n%2").arg(QLatin1String(c->synopsis), QLatin1String(c->help));
}

int usageError(const QString& command, const QString& message) {
  printError(message);
  std::fprintf(stderr, "Try 'tessaline-cli %s --help'.\n", command.toLocal8Bit().constData());
  return kExitUsage;
}

std::optional<int> parseOrExit(QCommandLineParser& parser, const QString& command, const QStringList& args,
                               bool takesArguments) {
  // main() has answered --help and -h from the command table already. No
  // help option here: Qt's would also take --help-all, which would then run
  // the command (a burn, an erase) instead of showing its help.
  QStringList withName = args;
  withName.prepend(QStringLiteral("tessaline-cli"));
  if (!parser.parse(withName)) return usageError(command, parser.errorText());
  if (!takesArguments && !parser.positionalArguments().isEmpty())
    return usageError(command, QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
  return std::nullopt;
}

}  // namespace tessaline::cli

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Tessaline"));
  QCoreApplication::setApplicationName(QStringLiteral("Tessaline"));
  using namespace tessaline::cli;

  // The global options come before the command.
  const QStringList all = QCoreApplication::arguments();
  Invocation call;
  bool verbose = false;
  int at = 1;
  for (; at < all.size() && all[at].startsWith(QLatin1Char('-')); ++at) {
    const QString& option = all[at];
    if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
      printSummary(stdout);
      return 0;
    }
    if (option == QLatin1String("--version")) {
      std::printf("tessaline-cli %s\n", TESSALINE_VERSION);
      return 0;
    }
    if (option == QLatin1String("--quiet")) call.quiet = true;
    else if (option == QLatin1String("--verbose")) verbose = true;
    else {
      printError(QStringLiteral("unknown option '%1'").arg(option));
      std::fputs("Try 'tessaline-cli --help'.\n", stderr);
      return kExitUsage;
    }
  }
  if (call.quiet && verbose) {
    printError(QStringLiteral("--quiet and --verbose do not go together"));
    return kExitUsage;
  }
  if (at >= all.size()) {
    printSummary(stderr);
    return kExitUsage;
  }
  QString name = all[at];
  call.args = all.mid(at + 1);
  for (int i = at + 1; i < argc; ++i) call.rawArgs.emplace_back(argv[i]);

  if (name == QLatin1String("help")) {
    // "help COMMAND [SUBCOMMAND]" is "COMMAND [SUBCOMMAND] --help".
    if (call.args.isEmpty()) {
      printSummary(stdout);
      return 0;
    }
    name = call.args.takeFirst();
    call.rawArgs.clear();
    call.args << QStringLiteral("--help");
  }
  const Command* command = findCommand(name);
  if (command == nullptr) return unknownCommand(name);
  // Every command's help comes from the table, whatever the command parses.
  // After "--" a "-h" is a file's name.
  const QStringList options = call.args.mid(0, call.args.indexOf(QStringLiteral("--")));
  if (command->help != nullptr && (options.contains(QStringLiteral("--help")) || options.contains(QStringLiteral("-h")))) {
    std::fputs(commandHelp(name)->toLocal8Bit().constData(), stdout);
    return 0;
  }

  // --verbose: the log lines on standard error as well as in the system log.
  std::unique_ptr<tessaline::LogCapture> echo;
  if (verbose)
    echo = std::make_unique<tessaline::LogCapture>(
        [](const std::string& line) {
          std::fprintf(stderr, "tessaline: %s\n", printable(QString::fromStdString(line)).toLocal8Bit().constData());
        });
  return command->run(call);
}
