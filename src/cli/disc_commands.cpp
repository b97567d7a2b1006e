// tessaline-cli sessions and ls: a second look at what is on the disc, read
// from the disc itself, session by session.

#include <QCommandLineParser>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <variant>

#include "cli/cli_session.h"
#include "cli/commands.h"

namespace tessaline::cli {

namespace {

// Parses the options both commands share; an exit status when the
// command ends there (its help, a usage error).
std::optional<int> parseDiscCommand(QCommandLineParser& parser, const QString& command, const QStringList& args,
                                    bool takesPath) {
  parser.addOption(writerOption());
  parser.addOption({QStringLiteral("json"), QStringLiteral("Print JSON.")});
  return parseOrExit(parser, command, args, takesPath);
}

// The disc's history, after start-up has settled; an exit status on failure.
std::variant<DiscHistory, int> discHistory(CliSession& session, const QCommandLineParser& parser) {
  if (!session.start(writerSpec(parser))) return session.interruption() != 0 ? session.interruptedExitStatus() : 1;
  if (!session.settle()) {
    if (session.interruption() != 0) return session.interruptedExitStatus();
    printError(session.loading() ? QStringLiteral("the writer is busy loading a disc; try again in a moment")
                                 : QStringLiteral("the writer's status did not settle in time"));
    return kExitFailed;
  }
  auto history = session.controller().readDiscHistory();
  if (!history) {
    printError(QString::fromStdString(history.error().message));
    return kExitFailed;
  }
  return std::move(history.value());
}

QString dateText(std::int64_t seconds) {
  if (seconds == 0) return QStringLiteral("-");
  return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void printLine(const QString& line) { std::fprintf(stdout, "%s\n", printable(line).toLocal8Bit().constData()); }

void printJson(const QJsonDocument& doc) { std::fputs(doc.toJson(QJsonDocument::Indented).constData(), stdout); }

const char* kindName(IsoKind kind) {
  switch (kind) {
    case IsoKind::Folder: return "folder";
    case IsoKind::Symlink: return "link";
    case IsoKind::File: return "file";
  }
  return "file";
}

}  // namespace

int runSessionsCommand(const Invocation& call) {
  QCommandLineParser parser;
  if (auto exit = parseDiscCommand(parser, QStringLiteral("sessions"), call.args, false)) return *exit;
  CliSession session;
  auto read = discHistory(session, parser);
  if (const int* exit = std::get_if<int>(&read)) return *exit;
  const auto sessions = std::get<DiscHistory>(read).sessions();

  if (parser.isSet(QStringLiteral("json"))) {
    QJsonArray list;
    for (const SessionSummary& s : sessions) {
      QJsonObject o;
      o[QStringLiteral("number")] = s.number;
      o[QStringLiteral("start")] = static_cast<double>(s.start.value);
      o[QStringLiteral("blocks")] = static_cast<double>(s.length.value);
      o[QStringLiteral("bytes")] = static_cast<double>(s.length.bytes());
      o[QStringLiteral("iso9660")] = s.iso9660;
      if (s.iso9660) {
        o[QStringLiteral("volumeName")] = displayName(s.volumeId);
        if (s.created != 0)
          o[QStringLiteral("written")] = QDateTime::fromSecsSinceEpoch(s.created).toUTC().toString(Qt::ISODate);
        o[QStringLiteral("added")] = static_cast<double>(s.added);
        o[QStringLiteral("replaced")] = static_cast<double>(s.replaced);
        o[QStringLiteral("hidden")] = static_cast<double>(s.hidden);
      }
      list.append(o);
    }
    printJson(QJsonDocument(list));
    return 0;
  }
  printLine(QStringLiteral("session    start   blocks        MB  written              volume            added  replaced  hidden"));
  for (const SessionSummary& s : sessions) {
    const QString head = QStringLiteral("%1  %2  %3  %4  ")
                             .arg(s.number, 7)
                             .arg(s.start.value, 7)
                             .arg(s.length.value, 7)
                             .arg(Megabytes::fromBytes(s.length.bytes()).value, 8, 'f', 2);
    if (!s.iso9660) {
      printLine(head + QStringLiteral("(not an ISO 9660 session)"));
      continue;
    }
    printLine(head + QStringLiteral("%1  %2  %3  %4  %5")
                         .arg(dateText(s.created), -19)
                         .arg(displayName(s.volumeId), -16)
                         .arg(s.added, 5)
                         .arg(s.replaced, 8)
                         .arg(s.hidden, 6));
  }
  return 0;
}

int runLsCommand(const Invocation& call) {
  QCommandLineParser parser;
  if (auto exit = parseDiscCommand(parser, QStringLiteral("ls"), call.args, true)) return *exit;
  const auto paths = positionalPaths(parser, call.rawArgs);
  if (paths.size() > 1) return usageError(QStringLiteral("ls"), QStringLiteral("ls takes one path on the disc"));
  CliSession session;
  auto read = discHistory(session, parser);
  if (const int* exit = std::get_if<int>(&read)) return *exit;
  // A path on the disc, not on this machine: the bytes as typed.
  auto listing = std::get<DiscHistory>(read).list(paths.empty() ? std::string() : paths.front().string());
  if (!listing) {
    printError(QString::fromStdString(listing.error().message));
    return kExitFailed;
  }
  if (parser.isSet(QStringLiteral("json"))) {
    QJsonArray list;
    for (const DiscListingEntry& e : listing.value()) {
      QJsonObject o;
      o[QStringLiteral("name")] = displayName(e.name);
      o[QStringLiteral("type")] = QString::fromLatin1(kindName(e.kind));
      o[QStringLiteral("bytes")] = static_cast<double>(e.size);
      o[QStringLiteral("modified")] = QDateTime::fromSecsSinceEpoch(e.mtime).toUTC().toString(Qt::ISODate);
      o[QStringLiteral("session")] = e.session;
      if (e.kind == IsoKind::Symlink) o[QStringLiteral("target")] = displayName(e.target);
      list.append(o);
    }
    printJson(QJsonDocument(list));
    return 0;
  }
  for (const DiscListingEntry& e : listing.value()) {
    QString name = displayName(e.name);
    if (e.kind == IsoKind::Folder) name += QLatin1Char('/');
    if (e.kind == IsoKind::Symlink) name += QStringLiteral(" -> ") + displayName(e.target);
    printLine(QStringLiteral("%1  %2  %3  %4").arg(e.session, 3).arg(e.size, 12).arg(dateText(e.mtime), name));
  }
  return 0;
}

}  // namespace tessaline::cli
