#include "cli/cli_session.h"

#include <QCoreApplication>
#include <QFile>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "devices/default_service.h"

namespace tessaline::cli {

CliSession::CliSession(bool assumeYes)
    : strings_(StringTable::builtIn()), service_(createDefaultService()), window_(strings_, assumeYes) {
  appController::initialize(transformers_);
  controller_ = std::make_unique<appController>(*service_, transformers_, Preferences(), strings_);
  controller_->connectOutlets(window_.parts());
  QObject::connect(controller_.get(), &appController::statusSettled, [this] { ++settledCount_; });
}

CliSession::~CliSession() = default;

bool CliSession::runUntil(const std::function<bool()>& done, int timeoutMs) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  QTimer deadline;
  bool timedOut = false;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
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

bool CliSession::start(std::optional<int> writerIndex) {
  controller_->awakeFromNib();
  // The command line never checks for updates.
  controller_->initializeTessaline();
  if (controller_->registeredDevices().empty()) {
    // The no-writer alert has been printed; its answer ends the program.
    runUntil([this] { return window_.terminated(); }, 1000);
    return false;
  }
  if (writerIndex) {
    const auto count = static_cast<int>(controller_->registeredDevices().size());
    if (*writerIndex < 0 || *writerIndex >= count) {
      printError(QStringLiteral("there is no writer %1 (the writers are numbered 0 to %2; see 'tessaline-cli writers')")
                     .arg(*writerIndex)
                     .arg(count - 1));
      return false;
    }
    window_.writerMenu().selectItemAtIndex(*writerIndex);
    controller_->changeDevice();
  }
  if (controller_->theDevice() && controller_->theDevice()->mediumState().busy) {
    printError(QStringLiteral("the writer is in use: another burn or erase is running; try again when it has finished"));
    return false;
  }
  return true;
}

bool CliSession::settle() {
  int waitSeconds = 20;
  if (const char* env = std::getenv("TESSALINE_MOUNT_WAIT_S")) waitSeconds = std::atoi(env);
  const QString loading = strings_.localized("loadingDisc");
  auto settled = [&] {
    const auto& text = controller_->statusController().content().deviceStatusString;
    return settledCount_ > 0 && !controller_->waitingForVolume() && text.has_value() && *text != loading;
  };
  const int timeoutMs = (waitSeconds + 15) * 1000;
  if (!runUntil(settled, timeoutMs)) return false;
  // Let notifications already queued arrive, then make sure it still holds.
  const int seen = settledCount_;
  runUntil([] { return false; }, 150);
  if (settledCount_ != seen) return runUntil(settled, timeoutMs);
  return true;
}

bool parseWriterIndex(const QCommandLineParser& parser, std::optional<int>& index) {
  if (!parser.isSet(QStringLiteral("writer"))) return true;
  bool ok = false;
  const int value = parser.value(QStringLiteral("writer")).toInt(&ok);
  if (!ok || value < 0) {
    printError(QStringLiteral("--writer takes a writer's number from 'tessaline-cli writers'"));
    return false;
  }
  index = value;
  return true;
}

void printError(const QString& message) {
  std::fprintf(stderr, "tessaline-cli: %s\n", message.toLocal8Bit().constData());
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
