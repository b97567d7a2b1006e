#include "cli/cli_session.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "devices/default_service.h"
#include "staging/source_paths.h"

namespace tessaline::cli {
namespace {

// The one place a signal handler may write to: a pipe the event loop reads.
int gSignalPipe[2] = {-1, -1};

extern "C" void forwardSignal(int signal) {
  const unsigned char byte = static_cast<unsigned char>(signal);
  const int saved = errno;
  (void)!::write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

bool openSignalPipe() {
  if (gSignalPipe[0] >= 0) return true;
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = forwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  return true;
}

QString writerDevicePath(const std::shared_ptr<Writer>& writer) {
  return writer ? QString::fromStdString("/dev/" + writer->bsdName()) : QString();
}

}  // namespace

CliSession::CliSession(bool assumeYes, bool quiet)
    : strings_(StringTable::builtIn()), service_(createDefaultService()), window_(strings_, assumeYes, quiet) {
  appController::initialize(transformers_);
  controller_ = std::make_unique<appController>(*service_, transformers_, Preferences(), strings_);
  controller_->connectOutlets(window_.parts());
  QObject::connect(controller_.get(), &appController::statusSettled, [this] { ++settledCount_; });
  if (openSignalPipe()) {
    signals_ = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(signals_.get(), &QSocketNotifier::activated, [this] {
      unsigned char byte = 0;
      while (::read(gSignalPipe[0], &byte, 1) == 1) interruption_ = byte;
    });
  }
}

CliSession::~CliSession() = default;

bool CliSession::runUntil(const std::function<bool()>& done, int timeoutMs) {
  const int before = interruption_;
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  QTimer deadline;
  bool timedOut = false;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done() || interruption_ != before) loop.quit();
  });
  QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
    timedOut = true;
    loop.quit();
  });
  poll.start(20);
  deadline.setSingleShot(true);
  deadline.start(timeoutMs);
  loop.exec();
  return !timedOut;
}

std::optional<std::filesystem::path> CliSession::listedSource(const std::filesystem::path& path) const {
  const auto normal = normaliseSourcePath(path, std::filesystem::current_path());
  if (!normal) return std::nullopt;
  const auto& items = controller_->sessionContentController().items();
  const bool listed = std::any_of(items.begin(), items.end(), [&](const BurnItem& item) {
    return !item.permanent() && item.aPath == normal.value();
  });
  return listed ? std::optional(normal.value()) : std::nullopt;
}

bool CliSession::start(const std::optional<QString>& writer) {
  controller_->awakeFromNib();
  // The command line never checks for updates.
  controller_->initializeTessaline();
  if (controller_->registeredDevices().empty()) {
    // The no-writer alert has been printed; its answer ends the program.
    runUntil([this] { return window_.terminated(); }, 1000);
    return false;
  }
  if (writer) {
    const auto index = resolveWriter(*writer, controller_->registeredDevices(), service_->devices());
    if (!index) {
      printError(QString::fromStdString(index.error().message));
      return false;
    }
    window_.writerMenu().selectItemAtIndex(index.value());
    controller_->changeDevice();
  }
  if (controller_->theDevice() && controller_->theDevice()->mediumState().busy) {
    printError(QStringLiteral("the writer is in use: another burn or erase is running; try again when it has finished"));
    return false;
  }
  return true;
}

bool CliSession::loading() const {
  const auto& text = controller_->statusController().content().deviceStatusString;
  return text.has_value() && *text == strings_.localized("loadingDisc");
}

bool CliSession::settle() {
  int waitSeconds = 20;
  if (const char* env = std::getenv("TESSALINE_MOUNT_WAIT_S")) waitSeconds = std::atoi(env);
  // A drive takes some seconds to load a disc; the wait for its volume comes after.
  int loadSeconds = 15;
  if (const char* env = std::getenv("TESSALINE_LOAD_WAIT_S")) loadSeconds = std::atoi(env);
  auto settled = [&] {
    const auto& text = controller_->statusController().content().deviceStatusString;
    return settledCount_ > 0 && !controller_->waitingForVolume() && text.has_value() && !loading();
  };
  const int timeoutMs = (std::max(waitSeconds, 0) + std::max(loadSeconds, 0)) * 1000;
  if (!runUntil(settled, timeoutMs) || interruption_ != 0) return false;
  // Let notifications already queued arrive, then make sure it still holds.
  const int seen = settledCount_;
  runUntil([] { return false; }, 150);
  if (settledCount_ != seen) return runUntil(settled, timeoutMs) && interruption_ == 0;
  return interruption_ == 0;
}

QString CliSession::selectedWriterText() {
  const auto& writers = controller_->registeredDevices();
  const int index = window_.writerMenu().indexOfSelectedItem();
  if (index < 0 || static_cast<std::size_t>(index) >= writers.size()) return QStringLiteral("no writer");
  const WriterRecord& record = writers[static_cast<std::size_t>(index)];
  return QStringLiteral("writer %1 \"%2\" (%3, %4)")
      .arg(index)
      .arg(record.DRDeviceDisplayName, displayName(record.DRDeviceName), writerDevicePath(controller_->theDevice()));
}

QString CliSession::discText() {
  const MediumSummary medium = controller_->mediumSummary();
  if (!medium.writer) return QStringLiteral("no writer");
  if (medium.unreadable) return QStringLiteral("not known");
  if (medium.trayOpen) return QStringLiteral("tray open");
  if (!medium.present) return QStringLiteral("no disc");
  QString kind = controller_->statusController().content().deviceStatusString.value_or(QString());
  QString state;
  if (medium.blank) state = QStringLiteral("blank");
  else if (medium.appendable)
    state = QStringLiteral("appendable with %1 session%2").arg(medium.sessions).arg(medium.sessions == 1 ? "" : "s");
  else if (medium.closed) state = QStringLiteral("closed, %1 session%2").arg(medium.sessions).arg(medium.sessions == 1 ? "" : "s");
  else state = QStringLiteral("not writable");
  const auto& title = controller_->statusController().content().title;
  QString text = QStringLiteral("%1: %2").arg(kind, state);
  if (title && !medium.blank) text += QStringLiteral(", \"%1\"").arg(*title);
  return text;
}

Result<int> resolveWriter(const QString& spec, const std::vector<WriterRecord>& records,
                          const std::vector<std::shared_ptr<Writer>>& devices) {
  const std::string bytes = QFile::encodeName(spec).toStdString();
  std::vector<int> matches;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const WriterRecord& r = records[i];
    const auto device = static_cast<std::size_t>(r.DRDeviceIndex) < devices.size()
                            ? devices[static_cast<std::size_t>(r.DRDeviceIndex)]
                            : nullptr;
    const bool named = r.DRDeviceName == bytes || r.DRDeviceDisplayName == spec ||
                       (device && ("/dev/" + device->bsdName() == bytes || device->toolDeviceName() == bytes));
    if (named) matches.push_back(static_cast<int>(i));
  }
  if (matches.size() == 1) return matches.front();
  if (matches.size() > 1) {
    std::string which;
    for (const int i : matches)
      which += " " + std::to_string(i) + " (" + records[static_cast<std::size_t>(i)].DRDeviceName + ")";
    return makeError(ErrorKind::InvalidInput,
                     "\"" + bytes + "\" names several writers:" + which + "; give the writer's name or number");
  }
  bool isNumber = false;
  const int index = spec.toInt(&isNumber);
  if (isNumber && index >= 0 && static_cast<std::size_t>(index) < records.size()) return index;
  std::string known;
  for (std::size_t i = 0; i < records.size(); ++i) known += " " + std::to_string(i) + " (" + records[i].DRDeviceName + ")";
  return makeError(ErrorKind::NotFound,
                   "there is no writer \"" + bytes + "\"; the writers are:" + known + " (see 'tessaline-cli writers')");
}

QCommandLineOption writerOption() {
  return {QStringLiteral("writer"),
          QStringLiteral("The writer to use: its name, device path, display name or number in "
                         "'tessaline-cli writers' (default: the first)."),
          QStringLiteral("WRITER")};
}

std::optional<QString> writerSpec(const QCommandLineParser& parser) {
  if (!parser.isSet(QStringLiteral("writer"))) return std::nullopt;
  return parser.value(QStringLiteral("writer"));
}

std::vector<std::filesystem::path> positionalPaths(const QCommandLineParser& parser,
                                                   const std::vector<std::string>& rawArgs) {
  // QString arguments lose bytes that are not UTF-8; find each positional
  // argument's raw bytes by decoding the raw arguments the same way.
  std::vector<bool> used(rawArgs.size(), false);
  std::vector<std::filesystem::path> paths;
  for (const QString& arg : parser.positionalArguments()) {
    std::string bytes = QFile::encodeName(arg).toStdString();
    for (std::size_t i = 0; i < rawArgs.size(); ++i) {
      if (!used[i] && QString::fromLocal8Bit(rawArgs[i].c_str()) == arg) {
        used[i] = true;
        bytes = rawArgs[i];
        break;
      }
    }
    paths.emplace_back(bytes);
  }
  return paths;
}

}  // namespace tessaline::cli
