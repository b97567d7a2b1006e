// tessaline-cli writer ...: managing emulated writers and their media.

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "common/records.h"
#include "devices/emulated/emulated_writers.h"

namespace tessaline::cli {

namespace {

namespace fs = std::filesystem;
using namespace tessaline::emulated;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char* const kOverview =
    "Usage: tessaline-cli writer COMMAND ...\n"
    "\n"
    "Manages emulated CD recorders (in $TESSALINE_WRITERS_DIR, else\n"
    "$XDG_DATA_HOME/tessaline/writers) and the discs in them.\n"
    "\n"
    "  create NAME [--display-name TEXT]   make a new writer\n"
    "  remove NAME                         delete a writer (its disc goes on the shelf)\n"
    "  list                                list the writers\n"
    "  insert NAME --medium KIND [--blocks N] [--session IMAGE ...] [--closed]\n"
    "                                      insert a blank disc, or one made of ISO images\n"
    "  insert NAME --disc DISC             insert a disc from the shelf\n"
    "  append NAME IMAGE [--close]         write an image as a new session\n"
    "  info NAME [--json]                  show the disc in a writer\n"
    "  eject NAME                          eject the disc onto the shelf\n"
    "  discs                               list the discs on the shelf\n"
    "  delete-disc DISC [--yes]            throw a disc on the shelf away\n"
    "  tray NAME open|close                move the tray\n"
    "\n"
    "Each command takes --help.\n";

struct Help {
  const char* command;
  const char* text;
};

const Help kHelp[] = {
    {"create",
     "Usage: tessaline-cli writer create NAME [--display-name TEXT]\n\n"
     "Makes an emulated writer. NAME becomes a folder name: it must not be empty,\n"
     "begin with a dot, or hold slashes or control characters.\n"},
    {"remove",
     "Usage: tessaline-cli writer remove NAME\n\nDeletes the writer. The disc in it goes on the shelf ('writer discs').\n"},
    {"list", "Usage: tessaline-cli writer list\n\nLists the writers: name, device, display name.\n"},
    {"insert",
     "Usage: tessaline-cli writer insert NAME --medium cd-r|cd-rw|cd-rom|dvd [--blocks N]\n"
     "                                [--session IMAGE ...] [--closed]\n"
     "       tessaline-cli writer insert NAME --disc DISC\n\n"
     "Inserts a disc. Without --session it is blank. Each IMAGE is written as one\n"
     "session in turn, the first at block 0; each later one must have been built\n"
     "for the address where it lands (mkisofs -C, see 'writer info'). --blocks sets\n"
     "the capacity (default 359847, an 80-minute CD; 2295104 for a DVD). --closed\n"
     "closes the disc after the last session; a CD-ROM is always closed. --disc takes\n"
     "a disc from the shelf (see 'writer discs') and inserts it as it was ejected.\n"},
    {"append",
     "Usage: tessaline-cli writer append NAME IMAGE [--close] [--speed N] [--allow-non-iso]\n\n"
     "Writes IMAGE as a new session at the disc's next writable address, as a burn\n"
     "would (without verification). The image must be ISO 9660 and built for that\n"
     "address (mkisofs -C with the 'sessionString' of 'writer info'), unless\n"
     "--allow-non-iso is given. --close closes the disc. --speed N is the writing\n"
     "speed as a CD multiple (1x is 150 kB/s; 0, the default, is the fastest); it\n"
     "limits the rate when TESSALINE_EMULATED_SPEED=1.\n"},
    {"info",
     "Usage: tessaline-cli writer info NAME [--json]\n\n"
     "Shows the medium kind, tracks, session addresses, free blocks, whether the disc\n"
     "is closed, the tray, the mount point and the medium file.\n"},
    {"eject",
     "Usage: tessaline-cli writer eject NAME\n\nEjects the disc onto the shelf, from where 'writer insert NAME --disc DISC'\n"
     "puts it back.\n"},
    {"discs", "Usage: tessaline-cli writer discs\n\nLists the discs on the shelf: name, kind, sessions, used blocks.\n"},
    {"delete-disc",
     "Usage: tessaline-cli writer delete-disc DISC [--yes]\n\nThrows a disc on the shelf away for good, after asking.\n"},
    {"tray", "Usage: tessaline-cli writer tray NAME open|close\n\nOpens or closes the tray.\n"},
};

std::string bytes(const QString& s) { return QFile::encodeName(s).toStdString(); }
QString text(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

// A name or message for the terminal: it may carry what a disc holds.
std::string shown(const std::string& bytes) {
  return printable(displayName(bytes)).toLocal8Bit().toStdString();
}

int fail(const std::string& message) {
  std::fprintf(stderr, "tessaline-cli writer: %s\n", shown(message).c_str());
  return kFailed;
}

int usage(const std::string& message, const char* command) {
  return usageError(QStringLiteral("writer ") + QLatin1String(command), QString::fromLocal8Bit(shown(message).c_str()));
}

int result(const Status& s) { return s ? 0 : fail(s.error().message); }

bool wantsHelp(const QStringList& args) {
  return args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"));
}

const char* helpFor(const QString& command) {
  for (const Help& h : kHelp)
    if (command == QLatin1String(h.command)) return h.text;
  return nullptr;
}

std::optional<long long> parseCount(const QString& s) {
  bool ok = false;
  const long long v = s.toLongLong(&ok);
  if (!ok || v <= 0) return std::nullopt;
  return v;
}

// Splits the arguments into positional ones and options; an option listed in
// `valued` takes the next argument; "--session" takes every argument up to
// the next option.
struct Parsed {
  QStringList positional;
  QMap<QString, QStringList> options;
  QString error;
};

Parsed parse(const QStringList& args, const QStringList& flags, const QStringList& valued) {
  Parsed p;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    if (!a.startsWith(QLatin1String("--"))) {
      p.positional << a;
      continue;
    }
    if (a == QLatin1String("--session")) {
      QStringList images;
      while (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1String("--"))) images << args[++i];
      if (images.isEmpty()) p.error = QStringLiteral("--session needs an image");
      p.options[a] << images;
    } else if (valued.contains(a)) {
      if (i + 1 >= args.size()) {
        p.error = a + QStringLiteral(" needs a value");
        return p;
      }
      p.options[a] << args[++i];
    } else if (flags.contains(a)) {
      p.options[a] << QString();
    } else {
      p.error = QStringLiteral("unknown option ") + a;
      return p;
    }
  }
  return p;
}

QJsonObject infoJson(const WriterInfo& info) {
  QJsonObject o;
  o[QStringLiteral("name")] = text(info.name);
  o[QStringLiteral("displayName")] = info.displayName;
  o[QStringLiteral("bsdName")] = text(info.bsdName);
  o[QStringLiteral("medium")] = info.disc ? QString::fromStdString(mediumKindText(info.disc->kind)) : QStringLiteral("none");
  o[QStringLiteral("tracks")] = info.disc ? tracksToJson(info.disc->tracks) : QJsonArray();
  o[QStringLiteral("sessionString")] = QString::fromStdString(info.disc ? info.disc->sessionString() : "0");
  o[QStringLiteral("freeBlocks")] = static_cast<double>(info.disc ? info.disc->freeBlocks().value : 0);
  o[QStringLiteral("usedBlocks")] = static_cast<double>(info.disc ? info.disc->usedBlocks().value : 0);
  o[QStringLiteral("capacity")] = static_cast<double>(info.disc ? info.disc->capacity.value : 0);
  o[QStringLiteral("closed")] = info.disc ? info.disc->closed : false;
  o[QStringLiteral("trayOpen")] = info.trayOpen;
  o[QStringLiteral("busy")] = info.busy;
  if (info.mountPoint) o[QStringLiteral("mountPoint")] = text(info.mountPoint->string());
  o[QStringLiteral("mediumFile")] = text(info.mediumFile.string());
  return o;
}

void printInfo(const WriterInfo& info) {
  std::printf("Writer:        %s (%s, /dev/%s)\n", info.name.c_str(), printable(info.displayName).toUtf8().constData(),
              info.bsdName.c_str());
  if (!info.disc) {
    std::printf("Medium:        none\n");
  } else {
    const Disc& d = *info.disc;
    std::printf("Medium:        %s, %s\n", mediumKindText(d.kind).c_str(),
                d.tracks.empty() && d.writable() ? "blank" : (d.closed ? "closed" : "open"));
    std::printf("Capacity:      %lld blocks\n", static_cast<long long>(d.capacity.value));
    for (std::size_t i = 0; i < d.tracks.size(); ++i)
      std::printf("Track %zu:       start %lld, length %lld\n", i + 1, static_cast<long long>(d.tracks[i].start.value),
                  static_cast<long long>(d.tracks[i].length.value));
    std::printf("Sessions (-C): %s\n", d.sessionString().c_str());
    std::printf("Free blocks:   %lld\n", static_cast<long long>(d.freeBlocks().value));
  }
  std::printf("Tray:          %s\n", info.trayOpen ? "open" : "closed");
  if (info.busy) std::printf("State:         busy\n");
  std::printf("Mount point:   %s\n", info.mountPoint ? shown(info.mountPoint->native()).c_str() : "(not mounted)");
  std::printf("Medium file:   %s\n", shown(info.mediumFile.native()).c_str());
}

int needName(const Parsed& p, const char* command, qsizetype count) {
  if (!p.error.isEmpty()) return usage(p.error.toStdString(), command);
  if (p.positional.size() < count) return usage(count == 1 ? "a writer name is needed" : "an argument is missing", command);
  if (p.positional.size() > count) return usage("unexpected argument '" + bytes(p.positional[count]) + "'", command);
  return 0;
}

}  // namespace

int runWriterCommand(const Invocation& call) {
  const QStringList& allArgs = call.args;
  if (allArgs.isEmpty()) {
    std::fputs(kOverview, stderr);
    return kUsage;
  }
  const QString command = allArgs.first();
  const QStringList args = allArgs.mid(1);
  if (command == QLatin1String("--help") || command == QLatin1String("-h") || command == QLatin1String("help")) {
    std::fputs(kOverview, stdout);
    return 0;
  }
  const char* help = helpFor(command);
  if (help == nullptr) {
    printError(QStringLiteral("writer: unknown command '%1'").arg(command));
    std::fputs("Try 'tessaline-cli writer --help'.\n", stderr);
    return kUsage;
  }
  if (wantsHelp(args)) {
    std::fputs(help, stdout);
    return 0;
  }
  const fs::path dir = defaultWritersDir();
  const std::string cmd = bytes(command);

  if (command == QLatin1String("list")) {
    const Parsed p = parse(args, {}, {});
    if (int rc = needName(p, "list", 0)) return rc;
    for (const std::string& name : listWriters(dir)) {
      auto info = writerInfo(dir, name);
      if (info)
        std::printf("%s\t/dev/%s\t%s\n", name.c_str(), info.value().bsdName.c_str(),
                    printable(info.value().displayName).toUtf8().constData());
      else
        std::printf("%s\t(damaged: %s)\n", name.c_str(), shown(info.error().message).c_str());
    }
    return 0;
  }
  if (command == QLatin1String("create")) {
    const Parsed p = parse(args, {}, {QStringLiteral("--display-name")});
    if (int rc = needName(p, "create", 1)) return rc;
    const QString display = p.options.value(QStringLiteral("--display-name")).value(0);
    return result(createWriter(dir, bytes(p.positional[0]), display));
  }
  if (command == QLatin1String("remove")) {
    const Parsed p = parse(args, {}, {});
    if (int rc = needName(p, "remove", 1)) return rc;
    return result(removeWriter(dir, bytes(p.positional[0])));
  }
  if (command == QLatin1String("eject")) {
    const Parsed p = parse(args, {}, {});
    if (int rc = needName(p, "eject", 1)) return rc;
    const std::string name = bytes(p.positional[0]);
    auto shelved = eject(dir, name);
    if (!shelved) return fail(shelved.error().message);
    if (!shelved.value().empty())
      std::printf("The disc is on the shelf as '%s' ('tessaline-cli writer insert %s --disc %s' puts it back).\n",
                  shelved.value().c_str(), name.c_str(), shelved.value().c_str());
    return 0;
  }
  if (command == QLatin1String("discs")) {
    const Parsed p = parse(args, {}, {});
    if (int rc = needName(p, "discs", 0)) return rc;
    for (const ShelvedDisc& d : listShelf(defaultDiscsDir()))
      std::printf("%s\t%s\t%zu session(s)%s\t%lld blocks used\n", d.name.c_str(), mediumKindText(d.disc.kind).c_str(),
                  d.disc.tracks.size(), d.disc.closed ? ", closed" : "",
                  static_cast<long long>(d.disc.usedBlocks().value));
    return 0;
  }
  if (command == QLatin1String("delete-disc")) {
    const Parsed p = parse(args, {QStringLiteral("--yes")}, {});
    if (int rc = needName(p, "delete-disc", 1)) return rc;
    const std::string disc = bytes(p.positional[0]);
    if (!p.options.contains(QStringLiteral("--yes"))) {
      if (isatty(STDIN_FILENO) == 0)
        return usage("deleting a disc needs --yes when there is no terminal to ask on", "delete-disc");
      std::fprintf(stderr, "Delete the disc '%s' from the shelf for good? [y/N] ", disc.c_str());
      char answer[16] = {};
      if (std::fgets(answer, sizeof answer, stdin) == nullptr || (answer[0] != 'y' && answer[0] != 'Y')) return kFailed;
    }
    return result(deleteShelvedDisc(defaultDiscsDir(), disc));
  }
  if (command == QLatin1String("tray")) {
    const Parsed p = parse(args, {}, {});
    if (int rc = needName(p, "tray", 2)) return rc;
    const QString where = p.positional[1];
    if (where != QLatin1String("open") && where != QLatin1String("close"))
      return usage("the tray can be 'open' or 'close', not '" + bytes(where) + "'", "tray");
    return result(setTray(dir, bytes(p.positional[0]), where == QLatin1String("open")));
  }
  if (command == QLatin1String("info")) {
    const Parsed p = parse(args, {QStringLiteral("--json")}, {});
    if (int rc = needName(p, "info", 1)) return rc;
    auto info = writerInfo(dir, bytes(p.positional[0]));
    if (!info) return fail(info.error().message);
    if (p.options.contains(QStringLiteral("--json"))) {
      std::fputs(QJsonDocument(infoJson(info.value())).toJson(QJsonDocument::Indented).constData(), stdout);
    } else {
      printInfo(info.value());
    }
    return 0;
  }
  if (command == QLatin1String("insert")) {
    const Parsed p = parse(args, {QStringLiteral("--closed")},
                           {QStringLiteral("--medium"), QStringLiteral("--blocks"), QStringLiteral("--disc")});
    if (int rc = needName(p, "insert", 1)) return rc;
    if (p.options.contains(QStringLiteral("--disc"))) {
      if (p.options.size() > 1) return usage("--disc inserts a disc as it was; it takes no other option", "insert");
      MediumSpec spec;
      spec.shelvedDisc = bytes(p.options.value(QStringLiteral("--disc")).value(0));
      return result(insertMedium(dir, bytes(p.positional[0]), spec));
    }
    if (!p.options.contains(QStringLiteral("--medium"))) return usage("--medium or --disc is needed", "insert");
    const auto kind = mediumKindFromText(bytes(p.options.value(QStringLiteral("--medium")).value(0)));
    if (!kind) return usage("--medium must be cd-r, cd-rw, cd-rom or dvd", "insert");
    MediumSpec spec;
    spec.kind = *kind;
    spec.capacity = *kind == MediumKind::Other ? kDvdCapacity : kCd80Capacity;
    if (p.options.contains(QStringLiteral("--blocks"))) {
      const auto blocks = parseCount(p.options.value(QStringLiteral("--blocks")).value(0));
      if (!blocks) return usage("--blocks must be a positive whole number", "insert");
      spec.capacity = BlockCount{*blocks};
    }
    for (const QString& image : p.options.value(QStringLiteral("--session"))) spec.sessionImages.emplace_back(bytes(image));
    spec.closed = p.options.contains(QStringLiteral("--closed"));
    return result(insertMedium(dir, bytes(p.positional[0]), spec));
  }
  if (command == QLatin1String("append")) {
    const Parsed p = parse(args, {QStringLiteral("--close"), QStringLiteral("--allow-non-iso")}, {QStringLiteral("--speed")});
    if (int rc = needName(p, "append", 2)) return rc;
    AppendOptions options;
    options.allowNonIso = p.options.contains(QStringLiteral("--allow-non-iso"));
    if (p.options.contains(QStringLiteral("--speed"))) {
      // A CD multiple, as burn --speed takes it.
      bool number = false;
      const int speed = p.options.value(QStringLiteral("--speed")).value(0).toInt(&number);
      if (!number || speed < 0 || speed > 100)
        return usage("--speed takes a CD multiple such as 4, 8, 16 or 0 for the fastest", "append");
      if (speed > 0) options.speedKBps = static_cast<float>(speed) * 150.0f;
    }
    return result(appendSession(dir, bytes(p.positional[0]), fs::path(bytes(p.positional[1])),
                                p.options.contains(QStringLiteral("--close")), options));
  }
  return usage("unknown command", cmd.c_str());
}

}  // namespace tessaline::cli
