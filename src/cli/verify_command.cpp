// tessaline-cli verify: is the disc a true copy of its sources?

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>


#include <cstdio>

#include "cli/cli_session.h"
#include "cli/commands.h"

namespace tessaline::cli {

int runVerifyCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addOption(writerOption());
  parser.addOption({QStringLiteral("quick"), QString()});
  parser.addOption({QStringLiteral("json"), QString()});
  parser.addPositionalArgument(QStringLiteral("SOURCE"), QString());
  if (auto exit = parseOrExit(parser, QStringLiteral("verify"), call.args, true)) return *exit;
  const bool json = parser.isSet(QStringLiteral("json"));
  CliSession session(false, call.quiet);
  if (!session.start(writerSpec(parser))) return 1;
  if (!session.settle()) {
    printError(QStringLiteral("the writer's status did not settle in time"));
    return session.interruption() != 0 ? session.interruptedExitStatus() : 1;
  }
  auto& controller = session.controller();
  std::vector<std::filesystem::path> sources;
  for (const auto& path : positionalPaths(parser, call.rawArgs)) {
    if (const auto listed = session.listedSource(path)) {
      sources.push_back(*listed);
      continue;
    }
    if (!controller.addSourceToController(path)) return 1;
    sources.push_back(controller.sessionContentController().items().back().aPath);
  }
  std::optional<DiscComparison> result;
  QObject::connect(&controller, &appController::verificationFinished, [&](const DiscComparison& r) { result = r; });
  TerminalWindow::Bar progress(QStringLiteral("Verifying"), call.quiet);
  QObject::connect(&controller, &appController::verificationProgress, [&](quint64 done, quint64 total) {
    if (total == 0) return;
    progress.setTotalBytes(total);
    progress.draw(QString(), 100.0 * static_cast<double>(done) / static_cast<double>(total));
  });
  if (Status started = controller.startVerification(sources, parser.isSet(QStringLiteral("quick"))); !started) {
    printError(QString::fromStdString(started.error().message));
    return 1;
  }
  session.runUntil([&] { return result.has_value(); }, 24 * 3600 * 1000);
  if (!result) {
    controller.cancelVerification();
    session.runUntil([&] { return result.has_value(); }, 60000);
    progress.finish(false);
    printError(QStringLiteral("verification stopped"));
    return session.interruption() != 0 ? session.interruptedExitStatus() : 1;
  }
  progress.finish(true);

  if (json) {
    QJsonArray entries;
    for (const DiscEntry& e : result->entries) {
      QJsonObject o;
      o[QStringLiteral("path")] = displayName(e.path);
      o[QStringLiteral("state")] = QString::fromLatin1(discEntryStateName(e.state));
      if (!e.detail.empty()) o[QStringLiteral("detail")] = QString::fromStdString(e.detail);
      entries.append(o);
    }
    QJsonObject doc;
    doc[QStringLiteral("entries")] = entries;
    doc[QStringLiteral("filesCompared")] = static_cast<double>(result->filesCompared);
    doc[QStringLiteral("bytesCompared")] = static_cast<double>(result->bytesCompared);
    doc[QStringLiteral("matches")] = result->matches();
    std::fputs(QJsonDocument(doc).toJson(QJsonDocument::Indented).constData(), stdout);
  } else {
    for (const DiscEntry& e : result->entries) {
      const QString line = QStringLiteral("%1  %2%3")
                               .arg(QString::fromLatin1(discEntryStateName(e.state)), -10)
                               .arg(displayName(e.path),
                                    e.detail.empty() ? QString() : QStringLiteral("  (%1)").arg(QString::fromStdString(e.detail)));
      std::fprintf(stdout, "%s\n", printable(line).toLocal8Bit().constData());
    }
    std::fprintf(stdout, "%llu file(s) compared%s: %zu differ, %zu newer here, %zu deleted here, %zu not burned.\n",
                 static_cast<unsigned long long>(result->filesCompared),
                 parser.isSet(QStringLiteral("quick")) ? " by size and date" : "",
                 result->count(DiscEntryState::Differs), result->count(DiscEntryState::Pending),
                 result->count(DiscEntryState::OnlyOnDisc), result->count(DiscEntryState::OnlyInSource));
    if (result->matches()) std::fputs("The disc is a true copy of its sources.\n", stdout);
  }
  return result->matches() ? 0 : 1;
}

}  // namespace tessaline::cli
