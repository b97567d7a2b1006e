#pragma once
// Runs the image tool as a child process without blocking: the end arrives as
// the finished() signal while the event loop runs. The tool gets LC_ALL and
// LANG set to C.UTF-8 (it then reads names as UTF-8 for Joliet), no
// standard input, and its standard output is discarded. Each line it writes
// to standard error goes to the system log, and the last lines are kept for
// the result. The exit status decides success, and when the caller names the
// image it expects, a status 0 also needs that image whole (checkImageFile).
// Failure texts name the tool and its package.
//
// Arguments are passed as the exact bytes given: a name that is not UTF-8
// reaches the tool unchanged.

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "burn/image_tool.h"

namespace tessaline {

struct ImageBuildResult {
  bool success = false;    // normal exit with status 0, not cancelled
  int exitCode = -1;       // -1 when the tool did not start or ended by a signal
  QString detail;          // what went wrong, with the tool's last lines
  bool cancelled = false;  // ended by kill()
};

class ImageBuild : public QObject {
  Q_OBJECT
 public:
  static constexpr int kKeptLines = 20;

  explicit ImageBuild(QObject* parent = nullptr);
  // A tool still running is killed.
  ~ImageBuild() override;

  struct ExpectedImage {
    std::filesystem::path path;     // the "-o" file
    long long nextSessionStart = 0;  // where the image will be written on the disc
  };

  // Starts the tool; finished() follows once, later (also when it cannot start).
  // One build at a time: a start while running is refused with finished().
  void start(const ImageTool& tool, const std::vector<std::string>& arguments,
             std::optional<ExpectedImage> expected = std::nullopt);
  void start(const std::filesystem::path& toolPath, const std::vector<std::string>& arguments) {
    start(ImageTool{toolPath}, arguments);
  }
  // Stops a running build; its result then says it was cancelled.
  void kill();
  bool isRunning() const;
  // The last lines the tool wrote to standard error.
  QStringList lastLines() const;

 Q_SIGNALS:
  void finished(const tessaline::ImageBuildResult& result);

 private:
  void readStandardError(bool flush);
  void processFinished(int exitCode, QProcess::ExitStatus status);
  void processError(QProcess::ProcessError error);
  void finishLater(ImageBuildResult result);
  void takeLine(const QByteArray& line);
  QString tail() const;

  QProcess* process_ = nullptr;
  ImageTool tool_;
  std::optional<ExpectedImage> expected_;
  QByteArray pending_;
  std::deque<QString> lines_;
  bool killed_ = false;
  bool reported_ = true;
};

}  // namespace tessaline

Q_DECLARE_METATYPE(tessaline::ImageBuildResult)
