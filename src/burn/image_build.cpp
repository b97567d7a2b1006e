#include "burn/image_build.h"

#include <QMetaObject>
#include <QProcessEnvironment>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/log.h"

extern char** environ;

namespace tessaline {

namespace fs = std::filesystem;

namespace {

// Everything the child needs to exec, built before the fork: the child of a
// threaded process must not allocate.
struct ExecImage {
  std::string program;
  std::vector<std::string> strings;  // argv then envp, owned
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::string failure;  // written to standard error when exec fails
};

std::shared_ptr<ExecImage> makeExecImage(const fs::path& tool, const std::vector<std::string>& arguments) {
  auto image = std::make_shared<ExecImage>();
  image->program = tool.native();
  image->strings.push_back(tool.native());
  for (const std::string& a : arguments) image->strings.push_back(a);
  const std::size_t argc = image->strings.size();
  // The environment as inherited, byte for byte, with the locale set to UTF-8.
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.starts_with("LC_ALL=") || entry.starts_with("LANG=")) continue;
    image->strings.push_back(entry);
  }
  image->strings.emplace_back("LC_ALL=C.UTF-8");
  image->strings.emplace_back("LANG=C.UTF-8");
  for (std::size_t i = 0; i < image->strings.size(); ++i) {
    (i < argc ? image->argv : image->envp).push_back(image->strings[i].data());
  }
  image->argv.push_back(nullptr);
  image->envp.push_back(nullptr);
  image->failure = "tessaline: cannot run the image tool " + tool.native() + " (errno ";
  return image;
}

// Runs in the child between fork and exec (async-signal-safe calls only).
// Qt would pass the arguments through QString, which cannot hold bytes that
// are not UTF-8, so the child execs the exact bytes itself.
[[noreturn]] void execImage(const ExecImage& image) {
  ::execve(image.program.c_str(), image.argv.data(), image.envp.data());
  const int err = errno;
  char digits[16];
  int n = 0;
  int v = err;
  do {
    digits[15 - n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0 && n < 15);
  [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, image.failure.data(), image.failure.size());
  ignored = ::write(STDERR_FILENO, digits + 16 - n, static_cast<std::size_t>(n));
  ignored = ::write(STDERR_FILENO, ")\n", 2);
  ::_exit(127);
}

}  // namespace

ImageBuild::ImageBuild(QObject* parent) : QObject(parent) { qRegisterMetaType<ImageBuildResult>(); }

ImageBuild::~ImageBuild() {
  if (process_ != nullptr) {
    process_->disconnect(this);
    if (process_->state() != QProcess::NotRunning) {
      process_->kill();
      process_->waitForFinished(5000);  // SIGKILL: the end is immediate
    }
  }
}

void ImageBuild::start(const ImageTool& tool, const std::vector<std::string>& arguments,
                       std::optional<ExpectedImage> expected) {
  const fs::path& toolPath = tool.path;
  if (isRunning() || !reported_) {
    ImageBuildResult refused;
    refused.detail = QStringLiteral("an image build is already running");
    QMetaObject::invokeMethod(
        this, [this, refused] { Q_EMIT finished(refused); }, Qt::QueuedConnection);
    return;
  }
  tool_ = tool;
  expected_ = std::move(expected);
  pending_.clear();
  lines_.clear();
  killed_ = false;
  reported_ = false;

  if (::access(toolPath.c_str(), X_OK) != 0) {
    const int err = errno;
    ImageBuildResult result;
    result.detail = QStringLiteral("the image tool %1 cannot be started: %2")
                        .arg(describeImageTool(tool_), QString::fromLocal8Bit(std::strerror(err)));
    logLine(result.detail.toStdString());
    finishLater(result);
    return;
  }

  if (process_ != nullptr) process_->deleteLater();
  process_ = new QProcess(this);
  // Stated for QProcess too, although the child execs with its own copy.
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
  env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
  process_->setProcessEnvironment(env);
  process_->setStandardInputFile(QProcess::nullDevice());
  process_->setStandardOutputFile(QProcess::nullDevice());
  process_->setReadChannel(QProcess::StandardError);
  process_->setProgram(QString::fromLocal8Bit(toolPath.c_str()));
  QStringList shown;
  for (const std::string& a : arguments) shown << QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size()));
  process_->setArguments(shown);
  const std::shared_ptr<ExecImage> image = makeExecImage(toolPath, arguments);
  process_->setChildProcessModifier([image] { execImage(*image); });

  connect(process_, &QProcess::readyReadStandardError, this, [this] { readStandardError(false); });
  connect(process_, &QProcess::finished, this, &ImageBuild::processFinished);
  connect(process_, &QProcess::errorOccurred, this, &ImageBuild::processError);
  process_->start();
}

void ImageBuild::kill() {
  if (!isRunning()) return;
  killed_ = true;
  process_->kill();
}

bool ImageBuild::isRunning() const { return process_ != nullptr && process_->state() != QProcess::NotRunning; }

QStringList ImageBuild::lastLines() const {
  QStringList out;
  for (const QString& line : lines_) out << line;
  return out;
}

void ImageBuild::readStandardError(bool flush) {
  if (process_ == nullptr) return;
  pending_ += process_->readAllStandardError();
  qsizetype newline = 0;
  while ((newline = pending_.indexOf('\n')) >= 0) {
    takeLine(pending_.left(newline));
    pending_.remove(0, newline + 1);
  }
  if (flush && !pending_.isEmpty()) {
    takeLine(pending_);
    pending_.clear();
  }
}

void ImageBuild::takeLine(const QByteArray& raw) {
  QByteArray line = raw;
  if (line.endsWith('\r')) line.chop(1);
  if (line.isEmpty()) return;
  logLine(std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
  lines_.push_back(QString::fromUtf8(line));
  while (lines_.size() > static_cast<std::size_t>(kKeptLines)) lines_.pop_front();
}

QString ImageBuild::tail() const { return lastLines().join(QLatin1Char('\n')); }

void ImageBuild::processFinished(int exitCode, QProcess::ExitStatus status) {
  readStandardError(true);
  if (reported_) return;
  ImageBuildResult result;
  const QString tool = describeImageTool(tool_);
  if (killed_) {
    result.cancelled = true;
    result.detail = QStringLiteral("the image build was cancelled");
  } else if (status != QProcess::NormalExit) {
    result.detail = QStringLiteral("the image tool %1 ended abnormally").arg(tool);
  } else {
    result.exitCode = exitCode;
    result.success = exitCode == 0;
    if (!result.success) result.detail = QStringLiteral("the image tool %1 exited with status %2").arg(tool).arg(exitCode);
    if (result.success && expected_) {
      if (auto whole = checkImageFile(expected_->path, expected_->nextSessionStart); !whole) {
        result.success = false;
        result.detail = QStringLiteral("the image tool %1 exited with status 0, but %2")
                            .arg(tool, QString::fromStdString(whole.error().message));
        logLine(result.detail.toStdString());
      }
    }
  }
  if (!result.success && !lines_.empty()) result.detail += QStringLiteral(":\n") + tail();
  reported_ = true;
  Q_EMIT finished(result);
}

void ImageBuild::processError(QProcess::ProcessError error) {
  // A crash or kill also ends in finished(); only a failed start does not.
  if (error != QProcess::FailedToStart || reported_) return;
  ImageBuildResult result;
  result.detail = QStringLiteral("the image tool %1 could not be started: %2")
                      .arg(describeImageTool(tool_), process_->errorString());
  logLine(result.detail.toStdString());
  reported_ = true;
  Q_EMIT finished(result);
}

void ImageBuild::finishLater(ImageBuildResult result) {
  QMetaObject::invokeMethod(
      this,
      [this, result] {
        reported_ = true;
        Q_EMIT finished(result);
      },
      Qt::QueuedConnection);
}

}  // namespace tessaline
