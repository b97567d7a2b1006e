// The commands that run the controller: writers, status, list, preview,
// burn, erase, config.

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstring>

#include "app/cd_name_formatter.h"
#include "common/record_json.h"
#include "cli/cli_session.h"
#include "cli/commands.h"
#include "cli/joliet_warnings.h"
#include "devices/session_addresses.h"
#include "staging/staging_journal.h"

namespace tessaline::cli {
namespace {

void printOut(const QString& text) {
  std::fputs(printable(text).toLocal8Bit().constData(), stdout);
  std::fputc('\n', stdout);
}

void printJson(const QJsonDocument& doc, QJsonDocument::JsonFormat format = QJsonDocument::Indented) {
  std::fputs(doc.toJson(format).constData(), stdout);
  // A compact document ends without a line break; one object per line.
  if (format == QJsonDocument::Compact) std::fputc('\n', stdout);
}

QCommandLineOption jsonOption() { return {QStringLiteral("json"), QStringLiteral("Print JSON.")}; }
QCommandLineOption checksumOption() {
  return {QStringLiteral("checksum"),
          QStringLiteral("Compare each file's contents with the disc's copy instead of its size and date (reads "
                         "both; the preference compareContents does it always).")};
}

void addSourceArguments(QCommandLineParser& parser) {
  parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("Files or folders to add."),
                               QStringLiteral("[SOURCE...]"));
}

QStringList statusLines(const DiscStatusRecord& r, CliSession& session) {
  QStringList lines;
  lines << r.deviceStatusString.value_or(QString());
  lines << QStringLiteral("disc: %1").arg(session.discText());
  if (r.title) lines << QStringLiteral("title: %1").arg(*r.title);
  if (r.spaceFree) lines << QStringLiteral("free: %1 MB").arg(static_cast<double>(*r.spaceFree), 0, 'f', 1);
  if (r.spaceUsed) lines << QStringLiteral("used: %1 MB").arg(static_cast<double>(*r.spaceUsed), 0, 'f', 1);
  const MediumSummary medium = session.controller().mediumSummary();
  if (medium.updatesLeft && medium.usualUpdate)
    lines << QStringLiteral("room: about %1 more update(s) like this disc's usual one (%2 MB each)")
                 .arg(*medium.updatesLeft)
                 .arg(static_cast<double>(medium.usualUpdate->bytes()) / 1e6, 0, 'f', 1);
  if (r.eraseable) lines << QStringLiteral("erasable");
  if (r.mountPath) lines << QStringLiteral("mounted at: %1").arg(displayPath(*r.mountPath));
  if (session.controller().discNotMounted())
    lines << QStringLiteral("not mounted: the system has not mounted the disc; 'tessaline-cli mount' asks it to");
  return lines;
}

// The record's fixed keys, and the medium in plain fields beside them.
QJsonObject statusJson(CliSession& session) {
  QJsonObject o = toJson(session.controller().statusController().content());
  const MediumSummary medium = session.controller().mediumSummary();
  o[QStringLiteral("present")] = medium.present;
  o[QStringLiteral("trayOpen")] = medium.trayOpen;
  o[QStringLiteral("blank")] = medium.blank;
  o[QStringLiteral("appendable")] = medium.appendable;
  o[QStringLiteral("closed")] = medium.closed;
  o[QStringLiteral("sessions")] = medium.sessions;
  o[QStringLiteral("freeBytes")] = static_cast<double>(medium.freeBlocks.bytes());
  if (medium.mounted) o[QStringLiteral("mounted")] = *medium.mounted;
  if (medium.volumeName) o[QStringLiteral("volumeName")] = *medium.volumeName;
  if (medium.updatesLeft) o[QStringLiteral("updatesLeft")] = static_cast<double>(*medium.updatesLeft);
  if (medium.usualUpdate) o[QStringLiteral("usualUpdateBytes")] = static_cast<double>(medium.usualUpdate->bytes());
  return o;
}

// Starts a session on the chosen writer and waits for its status.
std::optional<int> startAndSettle(CliSession& session, const QCommandLineParser& parser) {
  if (!session.start(writerSpec(parser))) return session.interruption() != 0 ? session.interruptedExitStatus() : 1;
  if (!session.settle()) {
    if (session.interruption() != 0) return session.interruptedExitStatus();
    printError(session.loading() ? QStringLiteral("the writer is busy loading a disc; try again in a moment")
                                 : QStringLiteral("the writer's status did not settle in time"));
    return 1;
  }
  return std::nullopt;
}

// Adds the sources given on the command line; false (after the window has
// said why) when one was refused, as nothing should be burned then.
bool addSources(CliSession& session, const std::vector<std::filesystem::path>& paths) {
  bool all = true;
  for (const auto& path : paths) {
    // A source the disc brought back already is named again, not added twice.
    if (session.listedSource(path)) continue;
    all = session.controller().addSourceToController(path) && all;
  }
  return all;
}

// Says what the disc brought back into the burn list, and what it left out;
// once, not again when the disc is read after the session this run burned.
void reportRestoredSources(CliSession& session) {
  auto said = std::make_shared<std::vector<std::filesystem::path>>();
  QObject::connect(&session.controller(), &appController::sourcesRestored, [said](const RestoredSources& sources) {
    std::vector<std::filesystem::path> now = sources.restored;
    for (const auto& left : sources.leftOut) now.push_back(left.first);
    if (now == *said) return;
    *said = std::move(now);
    if (!sources.restored.empty()) {
      printOut(QStringLiteral("Sources the disc remembers:"));
      for (const auto& path : sources.restored) printOut(QStringLiteral("  ") + displayPath(path));
    }
    for (const auto& [path, why] : sources.leftOut)
      printError(QStringLiteral("the disc remembers %1, left out: %2")
                     .arg(displayPath(path), QString::fromStdString(why.message)));
  });
}

}  // namespace

int runWritersCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addOption(jsonOption());
  if (auto exit = parseOrExit(parser, QStringLiteral("writers"), call.args))
    return *exit;
  CliSession session(false, call.quiet);
  const bool json = parser.isSet(jsonOption());
  // No writer is an empty list for a program reading JSON; the alert has said why.
  if (!session.start(std::nullopt)) {
    if (json && session.controller().registeredDevices().empty() && session.interruption() == 0) {
      printJson(QJsonDocument(QJsonArray()), QJsonDocument::Compact);
      return 0;
    }
    return 1;
  }
  const auto& writers = session.controller().registeredDevices();
  if (json) {
    QJsonArray a;
    for (const auto& w : writers) a.append(toJson(w));
    printJson(QJsonDocument(a));
    return 0;
  }
  for (std::size_t i = 0; i < writers.size(); ++i) {
    printOut(QStringLiteral("%1  %2  %3  (%4)")
                 .arg(i)
                 .arg(displayName(writers[i].DRDeviceName), writers[i].DRDeviceDisplayName,
                      displayName(writers[i].toolDeviceName)));
    if (const auto speeds = session.controller().writeSpeedsOf(i); !speeds.empty())
      printOut(QStringLiteral("   speeds for its disc: %1 (--speed 0: the fastest)").arg(writeSpeedsText(speeds)));
  }
  return 0;
}

int runStatusCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addOption(writerOption());
  parser.addOption(jsonOption());
  parser.addOption({QStringLiteral("watch"), QStringLiteral("Print each new status until interrupted.")});
  if (auto exit = parseOrExit(parser, QStringLiteral("status"), call.args))
    return *exit;
  CliSession session(false, call.quiet);
  if (auto exit = startAndSettle(session, parser)) return *exit;
  const bool json = parser.isSet(jsonOption());
  const bool watch = parser.isSet(QStringLiteral("watch"));
  // Under --watch: one compact object per line, and a status only when it
  // differs from the one printed last.
  QByteArray last;
  auto print = [&] {
    QByteArray text;
    if (json) {
      text = QJsonDocument(statusJson(session)).toJson(watch ? QJsonDocument::Compact : QJsonDocument::Indented);
      if (watch) text += '\n';
    } else {
      for (const QString& line : statusLines(session.controller().statusController().content(), session))
        text += printable(line).toLocal8Bit() + '\n';
    }
    if (text == last) return;
    last = text;
    std::fputs(text.constData(), stdout);
    std::fflush(stdout);
  };
  print();
  if (!watch) return 0;
  QObject::connect(&session.controller().statusController(), &StatusController::contentChanged, print);
  session.runUntil([] { return false; }, 24 * 3600 * 1000);
  return 0;
}

int runMountCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addOption(writerOption());
  if (auto exit = parseOrExit(parser, QStringLiteral("mount"), call.args))
    return *exit;
  CliSession session(false, call.quiet);
  if (auto exit = startAndSettle(session, parser)) return *exit;
  auto& controller = session.controller();
  if (const auto& mounted = controller.statusController().content().mountPath) {
    printOut(QStringLiteral("The disc is mounted at %1.").arg(displayPath(*mounted)));
    return 0;
  }
  if (const auto why = controller.mediumSummary().unreadable) {
    printError(*why);
    return 1;
  }
  if (!controller.discNotMounted()) {
    // A closed disc has sessions too, but only a disc the next burn can continue is mounted.
    printError(QStringLiteral("there is nothing to mount: only a CD-R or CD-RW that holds sessions and takes "
                              "another is mounted (the writer has %1)").arg(session.discText()));
    return 1;
  }
  controller.mountDisc();
  if (session.window().refusalShown()) return 1;
  session.runUntil([&] { return controller.statusController().content().mountPath.has_value(); }, 30000);
  const auto& mountPath = controller.statusController().content().mountPath;
  if (!mountPath) {
    printError(QStringLiteral("the disc was not mounted in time"));
    return 1;
  }
  printOut(QStringLiteral("The disc is mounted at %1.").arg(displayPath(*mountPath)));
  return 0;
}

namespace {

void printBurnList(const appController& controller, bool json) {
  const auto& items = controller.sessionContentController().items();
  if (json) {
    printJson(QJsonDocument(toJson(items)));
    return;
  }
  for (const BurnItem& item : items)
    printOut(QStringLiteral("%1  %2  %3  %4 MB")
                 .arg(displayName(item.aPathComponent), displayPath(item.aPath),
                      item.permanent() ? QStringLiteral("on disc") : QStringLiteral("source"))
                 .arg(item.sizeInMB, 0, 'f', 2));
  printOut(QStringLiteral("total: %1 MB").arg(controller.sessionContentController().sumSizeInMB(), 0, 'f', 2));
}

}  // namespace

int runListCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addOption(writerOption());
  parser.addOption(jsonOption());
  addSourceArguments(parser);
  if (auto exit = parseOrExit(parser, QStringLiteral("list"), call.args, true))
    return *exit;
  CliSession session(false, call.quiet);
  if (!parser.isSet(jsonOption()) && !call.quiet) reportRestoredSources(session);
  if (auto exit = startAndSettle(session, parser)) return *exit;
  const bool allAdded = addSources(session, positionalPaths(parser, call.rawArgs));
  printBurnList(session.controller(), parser.isSet(jsonOption()));
  return allAdded ? 0 : 1;
}

namespace {

// About how many blocks the session's image takes: each file rounded up to
// whole blocks, a directory extent per folder in each of the ISO 9660 and
// Joliet trees, and the system area, descriptors and path tables ahead.
BlockCount estimatedImageBlocks(const std::vector<StagedEntry>& entries) {
  constexpr std::int64_t kHeaderBlocks = 16 + 8;
  std::int64_t blocks = kHeaderBlocks;
  for (const StagedEntry& e : entries)
    blocks += e.type == StagedType::Folder ? 2
                                           : BlockCount::fromBytesRoundedUp(static_cast<std::int64_t>(e.bytes)).value;
  return BlockCount{blocks};
}

QString megabytes(BlockCount blocks) { return QString::number(static_cast<double>(discMegabytes(blocks)), 'f', 1); }

// Prints a refusal exactly as the burn's alert prints it.
void printRefusal(CliSession& session, const BurnRefusal& refusal) {
  AlertRequest request;
  request.messageKey = QString::fromLatin1(refusal.messageKey);
  request.informativeKey = QString::fromLatin1(refusal.informativeKey);
  request.buttonKeys = {QStringLiteral("OK")};
  request.detail = refusal.detail;
  session.window().showAlert(request, [](int) {});
}

}  // namespace

int runPreviewCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addOption(writerOption());
  parser.addOption(jsonOption());
  parser.addOption({QStringLiteral("hide-previous"), QString()});
  parser.addOption(checksumOption());
  addSourceArguments(parser);
  if (auto exit = parseOrExit(parser, QStringLiteral("preview"), call.args, true)) return *exit;
  const bool json = parser.isSet(jsonOption());
  CliSession session(false, call.quiet);
  if (!json && !call.quiet) reportRestoredSources(session);
  if (auto exit = startAndSettle(session, parser)) return *exit;
  auto& controller = session.controller();
  if (!addSources(session, positionalPaths(parser, call.rawArgs))) return kExitFailed;
  if (parser.isSet(QStringLiteral("hide-previous"))) controller.setHidePreviousSessions(true);
  controller.setCompareContents(parser.isSet(QStringLiteral("checksum")));
  if (!json) {
    printOut(QStringLiteral("writer: %1").arg(session.selectedWriterText()));
    printOut(QStringLiteral("disc: %1").arg(session.discText()));
  }
  // The checks a burn meets before it stages anything.
  if (const auto refusal = controller.burnRefusal()) {
    printRefusal(session, *refusal);
    return kExitFailed;
  }
  auto preview = controller.previewNextSession();
  if (!preview) {
    printError(QString::fromStdString(preview.error().message));
    return kExitFailed;
  }
  if (preview.value().addsNothing) {
    // As the burn ends: nothing written, and that is no failure.
    if (json) printJson(QJsonDocument(QJsonObject{{QStringLiteral("upToDate"), true}}));
    else printOut(QStringLiteral("The disc is up to date: a burn would write no session."));
    return 0;
  }
  const auto& entries = preview.value().entries;
  const auto& deleted = preview.value().deletedSinceLastSession;
  std::uint64_t total = 0;
  for (const auto& e : entries) total += e.bytes;
  const auto tool = findImageTool();
  const auto warnings =
      nextSessionJolietWarnings(controller.continuedDiscTree(), entries, tool ? tool.value().kind : ImageToolKind::Other);

  // Space as the writer counts it: the track must fit, and the session's
  // overhead is lost to the free space as well.
  const MediumSummary medium = controller.mediumSummary();
  const SessionSpace space = sessionSpace(estimatedImageBlocks(entries), medium.blank);
  const bool fits = space.track <= medium.freeBlocks;
  const BlockCount freeAfter = space.total() < medium.freeBlocks ? medium.freeBlocks - space.total() : BlockCount{};
  const QString overlongLinks = tool ? linksTooLongDetail(entries, tool.value()) : QString();
  std::optional<BurnRefusal> refusal;
  if (!preview.value().unreadable.empty())
    refusal = BurnRefusal{"cannotBurn", "sourcesUnreadable", unreadableSourcesDetail(preview.value().unreadable)};
  else if (!overlongLinks.isEmpty())
    refusal = BurnRefusal{"cannotBurn", "linkTargetsTooLong", overlongLinks};
  else if (!fits)
    refusal = BurnRefusal{"cannotBurn", "notEnoughSpaceToBurn",
                          QStringLiteral("The session needs about %1 MB; %2 MB are free on the disc.")
                              .arg(megabytes(space.total()), megabytes(medium.freeBlocks))};

  if (json) {
    QJsonArray list;
    for (const auto& e : entries) {
      QJsonObject o;
      o[QStringLiteral("path")] = displayName(e.path);
      o[QStringLiteral("type")] = QString::fromLatin1(stagedTypeName(e.type)).toLower();
      o[QStringLiteral("bytes")] = static_cast<double>(e.bytes);
      o[QStringLiteral("reason")] = QString::fromLatin1(stagingReasonName(e.reason)).toLower();
      list.append(o);
    }
    // Gone from the sources, still on the disc: listed so that nobody
    // expects the update to remove them.
    for (const auto& path : deleted) {
      QJsonObject o;
      o[QStringLiteral("path")] = displayName(path);
      o[QStringLiteral("bytes")] = 0;
      o[QStringLiteral("reason")] = QStringLiteral("deleted");
      list.append(o);
    }
    QJsonObject doc;
    doc[QStringLiteral("entries")] = list;
    doc[QStringLiteral("totalBytes")] = static_cast<double>(total);
    doc[QStringLiteral("sessionBytes")] = static_cast<double>(space.total().bytes());
    doc[QStringLiteral("overheadBytes")] = static_cast<double>(space.overhead.bytes());
    doc[QStringLiteral("freeBytes")] = static_cast<double>(medium.freeBlocks.bytes());
    doc[QStringLiteral("freeBytesAfter")] = static_cast<double>(freeAfter.bytes());
    doc[QStringLiteral("fits")] = fits;
    doc[QStringLiteral("warnings")] = jolietWarningsJson(warnings);
    printJson(QJsonDocument(doc));
  } else {
    for (const auto& e : entries)
      printOut(QStringLiteral("%1  %2  %3  %4")
                   .arg(QString::fromLatin1(stagingReasonName(e.reason)).toLower(), -9)
                   .arg(QString::fromLatin1(stagedTypeName(e.type)).toLower(), -6)
                   .arg(e.bytes, 12)
                   .arg(displayName(e.path)));
    printOut(QStringLiteral("total: %1 bytes in %2 entries").arg(total).arg(entries.size()));
    for (const auto& path : deleted) printOut(QStringLiteral("deleted   %1").arg(displayName(path)));
    if (!deleted.empty())
      printOut(QStringLiteral("The disc keeps the %1 deleted entr%2 above: a session only adds. To leave them out of "
                              "view, burn with --hide-previous (Hide previous sessions in the window).")
                   .arg(deleted.size())
                   .arg(deleted.size() == 1 ? QStringLiteral("y") : QStringLiteral("ies")));
    for (const auto& w : warnings) printOut(QStringLiteral("warning: ") + describeJolietWarning(w));
    printOut(QStringLiteral("session: about %1 MB, of which %2 MB are the session's overhead on the disc")
                 .arg(megabytes(space.total()), megabytes(space.overhead)));
    printOut(QStringLiteral("free: %1 MB now, about %2 MB after this session")
                 .arg(megabytes(medium.freeBlocks), megabytes(freeAfter)));
    printOut(fits ? QStringLiteral("fits: yes") : QStringLiteral("fits: no"));
  }
  if (refusal) {
    printRefusal(session, *refusal);
    return kExitFailed;
  }
  return 0;
}

int runBurnCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addOption(writerOption());
  parser.addOption({QStringLiteral("speed"),
                    QStringLiteral("Speed as a CD multiple (1x = 150 KB/s); 0, the default, is the fastest."),
                    QStringLiteral("TAG")});
  parser.addOption({QStringLiteral("volume"),
                    QStringLiteral("The volume name (16 characters at most); a continued disc keeps its own by default."),
                    QStringLiteral("NAME")});
  parser.addOption({QStringLiteral("hide-previous"), QStringLiteral("The session hides the disc's earlier content.")});
  parser.addOption({QStringLiteral("yes"), QStringLiteral("Answer yes to the duplicate-name question.")});
  parser.addOption(checksumOption());
  addSourceArguments(parser);
  if (auto exit = parseOrExit(parser, QStringLiteral("burn"), call.args, true))
    return *exit;
  int speed = 0;
  if (parser.isSet(QStringLiteral("speed"))) {
    bool ok = false;
    speed = parser.value(QStringLiteral("speed")).toInt(&ok);
    if (!ok || speed < 0 || speed > 100) {
      printError(QStringLiteral("--speed takes a CD multiple such as 4, 8, 16 or 0 for the fastest"));
      return 2;
    }
  }
  QString volume;
  if (parser.isSet(QStringLiteral("volume"))) {
    volume = parser.value(QStringLiteral("volume"));
    if (!CDNameFormatter::isAcceptableName(volume)) {
      printError(QStringLiteral("the volume name takes at most 16 of the letters a-z and A-Z, digits, space and _-.+"));
      return 2;
    }
    volume = CDNameFormatter().getObjectValue(volume);
  }

  CliSession session(parser.isSet(QStringLiteral("yes")), call.quiet);
  if (!call.quiet) reportRestoredSources(session);
  if (auto exit = startAndSettle(session, parser)) return *exit;
  auto& controller = session.controller();
  if (const auto allowed = controller.mediumSummary().writeSpeeds;
      speed != 0 && !allowed.empty() && std::find(allowed.begin(), allowed.end(), speed) == allowed.end()) {
    printError(QStringLiteral("the writer does not offer %1x for this disc; it allows %2, or 0 for the fastest")
                   .arg(speed).arg(writeSpeedsText(allowed)));
    return 2;
  }
  // Without --volume, a continued disc keeps the name it carries.
  if (!parser.isSet(QStringLiteral("volume"))) {
    const auto offered = controller.offeredVolumeName();
    if (offered && CDNameFormatter::isAcceptableName(*offered)) volume = *offered;
  }
  session.window().setVolumeName(volume.isEmpty() ? QStringLiteral(" ") : volume);
  session.window().speedMenu().setSelectedTag(speed);
  session.window().setJobBytes([&controller] {
    std::error_code error;
    const auto bytes = std::filesystem::file_size(controller.burnImagePath(), error);
    return error ? std::uint64_t{0} : static_cast<std::uint64_t>(bytes);
  });
  if (!addSources(session, positionalPaths(parser, call.rawArgs))) return 1;
  if (parser.isSet(QStringLiteral("hide-previous"))) controller.setHidePreviousSessions(true);
  controller.setCompareContents(parser.isSet(QStringLiteral("checksum")));
  // With a choice of writers, say which one and which disc this burn uses.
  if (controller.registeredDevices().size() > 1 && !parser.isSet(QStringLiteral("writer")) && !call.quiet)
    printOut(QStringLiteral("Burning with %1; %2.").arg(session.selectedWriterText(), session.discText()));

  std::optional<BurnOutcome> outcome;
  QObject::connect(&controller, &appController::burnFinished, [&](const BurnOutcome& o) { outcome = o; });
  controller.attemptBurn();
  // The burn ends in its outcome, or earlier in a refusal or a declined question.
  auto ended = [&] {
    return outcome.has_value() || session.window().refusalShown() || session.window().questionDeclined();
  };
  session.runUntil(ended, 24 * 3600 * 1000);
  if (session.interruption() != 0 && !outcome) {
    // Ctrl-C or a TERM: stop the tool and the writer, clean up, say what
    // happened to the disc.
    printError(QStringLiteral("stopping the burn..."));
    controller.cancelBurn();
    session.runUntil([&] { return outcome.has_value() || !controller.burnInProgress(); }, 120000);
    if (outcome && outcome->writtenUnverified)
      printError(QStringLiteral("stopped while the written session was verified: the disc holds the session, but "
                                "it was not verified; 'tessaline-cli verify' compares it with its sources."));
    else if (outcome && outcome->writingStarted)
      printError(QStringLiteral("stopped while the session was written: it was not completed. The disc's earlier "
                                "sessions stay readable; on a CD-R the space of the unfinished session may be lost."));
    else
      printError(QStringLiteral("stopped: nothing was written to the disc"));
    return session.interruptedExitStatus();
  }
  if (!outcome) return 1;
  if (outcome->upToDate) return 0;  // the window has said so
  if (!outcome->written) {
    // A refusal has been printed whole by the alert already.
    if (outcome->error && !session.window().refusalShown())
      printError(QString::fromStdString(outcome->error->message));
    return 1;
  }
  printOut(QStringLiteral("The session was written%1.")
               .arg(controller.preferences().boolForKey(prefs::disableVerification) ? QString()
                                                                                   : QStringLiteral(" and verified")));
  return 0;
}

int runEraseCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addOption(writerOption());
  parser.addOption({QStringLiteral("yes"), QStringLiteral("Erase without asking.")});
  if (auto exit = parseOrExit(parser, QStringLiteral("erase"), call.args))
    return *exit;
  CliSession session(parser.isSet(QStringLiteral("yes")), call.quiet);
  if (auto exit = startAndSettle(session, parser)) return *exit;
  auto& controller = session.controller();
  if (controller.registeredDevices().size() > 1 && !parser.isSet(QStringLiteral("writer")) && !call.quiet)
    printOut(QStringLiteral("Erasing with %1; %2.").arg(session.selectedWriterText(), session.discText()));
  if (!controller.statusController().content().eraseable) {
    printError(QStringLiteral("the disc in the writer cannot be erased (%1)")
                   .arg(controller.statusController().content().deviceStatusString.value_or(QString())));
    return 1;
  }
  std::optional<std::pair<bool, QString>> result;
  QObject::connect(&controller, &appController::eraseFinished,
                   [&](bool ok, const QString& message) { result = std::make_pair(ok, message); });
  controller.attemptErase();
  session.runUntil([&] { return result.has_value() || session.window().questionDeclined(); }, 24 * 3600 * 1000);
  if (session.interruption() != 0 && !result) {
    printError(QStringLiteral("interrupted: the erase was stopped; erase the disc again before using it"));
    return session.interruptedExitStatus();
  }
  if (!result) return 1;
  if (!result->first) {
    printError(result->second.isEmpty() ? QStringLiteral("the erase failed") : result->second);
    return 1;
  }
  printOut(QStringLiteral("The disc was erased."));
  return 0;
}

namespace {

// What each switch does, in the words of the manual's PREFERENCES.
const char* switchDescription(const char* key) {
  struct Described {
    const char* key;
    const char* text;
  };
  static constexpr Described kDescribed[] = {
      {prefs::disableUpdateCheck, "do not ask the web site for a newer release at start-up"},
      {prefs::resolveDisabled, "burn symbolic links as links, not the files and folders they point to"},
      {prefs::disableSplitForks, "write no side files for resource forks and Finder information"},
      {prefs::storeBurnConfiguration, "remember the sources on the disc, so that an update is one command"},
      {prefs::disableVerification, "do not read the session back after a burn to verify it"},
      {prefs::disableIncrementalUpdating, "copy every source in full in each session"},
      {prefs::compareContents, "compare contents with the disc's copies instead of sizes and dates"},
  };
  for (const Described& d : kDescribed)
    if (std::strcmp(d.key, key) == 0) return d.text;
  return "";
}

// A boolean word as a stored switch; nothing for any other word.
std::optional<bool> booleanWord(const QString& word) {
  const QString w = word.toLower();
  for (const char* yes : {"true", "yes", "on", "1"})
    if (w == QLatin1String(yes)) return true;
  for (const char* no : {"false", "no", "off", "0"})
    if (w == QLatin1String(no)) return false;
  return std::nullopt;
}

}  // namespace

int runConfigCommand(const Invocation& call) {
  QCommandLineParser parser;
  parser.addPositionalArgument(QStringLiteral("ACTION"), QString());
  const QString config = QStringLiteral("config");
  if (auto exit = parseOrExit(parser, config, call.args, true)) return *exit;
  const QStringList words = parser.positionalArguments();
  const QString action = words.value(0);
  // How many words each action takes, its own name included.
  const qsizetype expected = action == QLatin1String("list")                                   ? 1
                             : action == QLatin1String("get") || action == QLatin1String("unset") ? 2
                             : action == QLatin1String("set")                                   ? 3
                                                                                                : 0;
  if (expected == 0)
    return usageError(config, action.isEmpty() ? QStringLiteral("config needs list, get, set or unset")
                                               : QStringLiteral("unknown action '%1'").arg(action));
  if (words.size() > expected)
    return usageError(config, QStringLiteral("unexpected argument '%1'").arg(words.at(expected)));
  Preferences preferences;
  if (action == QLatin1String("list")) {
    for (const char* key : kPreferenceSwitches) {
      const auto value = preferences.valueForKey(key);
      const QString shown = !value ? QStringLiteral("off (not set)")
                            : readsAsTrue(*value) ? QStringLiteral("on")
                                                  : QStringLiteral("off");
      printOut(QStringLiteral("%1  %2  %3").arg(QLatin1String(key), -27).arg(shown, -13).arg(QLatin1String(switchDescription(key))));
    }
    return 0;
  }
  if (words.size() < expected)
    return usageError(config, expected == 3 ? QStringLiteral("config set needs a key and a value")
                                            : QStringLiteral("config %1 needs a key").arg(action));
  const QString key = words.at(1);
  if (!Preferences::isKnownKey(key) || key == QLatin1String(prefs::mainWindowFrame))
    return usageError(config, QStringLiteral("unknown key '%1'; 'tessaline-cli config list' shows the keys").arg(key));
  const QByteArray keyBytes = key.toUtf8();
  if (action == QLatin1String("get")) {
    const auto value = preferences.valueForKey(keyBytes.constData());
    if (!value) return kExitFailed;  // not set: reads as off
    printOut(value->toString());
    return 0;
  }
  if (action == QLatin1String("unset")) {
    preferences.removeValue(keyBytes.constData());
    return 0;
  }
  const auto value = booleanWord(words.at(2));
  if (!value)
    return usageError(config, QStringLiteral("'%1' is not a switch value: give true or false (or yes/no, on/off, 1/0)")
                                  .arg(words.at(2)));
  preferences.setValue(keyBytes.constData(), *value ? QStringLiteral("true") : QStringLiteral("false"));
  return 0;
}

}  // namespace tessaline::cli
