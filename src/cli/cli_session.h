#pragma once
// One run of the controller for a command: the service, the controller with
// the terminal as its window, start-up, waiting until the medium status has
// settled, and Ctrl-C.

#include <QCommandLineParser>

#include <functional>
#include <memory>
#include <optional>

#include "app/app_controller.h"
#include "app/value_transformers.h"
#include "cli/terminal_text.h"
#include "cli/terminal_window.h"
#include "devices/combined_service.h"

class QSocketNotifier;

namespace tessaline::cli {

class CliSession {
 public:
  explicit CliSession(bool assumeYes = false, bool quiet = false);
  ~CliSession();

  // Start-up as the desktop application does it, then selects the writer
  // the user named (see resolveWriter). Answers false (after printing why)
  // when there is no writer or no such writer.
  bool start(const std::optional<QString>& writer);
  // Waits until the medium status is settled: not loading, not waiting for
  // the volume. Answers false when it did not settle in time.
  bool settle();
  // Whether the writer is still loading its disc (it reads as such).
  bool loading() const;
  // Runs the event loop until done() holds, the time runs out (false) or a
  // SIGINT or SIGTERM arrives (true; see interruption()).
  bool runUntil(const std::function<bool()>& done, int timeoutMs);
  // The listed source (not one of the disc's own items) that `path` names,
  // when the list holds it already: the disc may have brought it back.
  std::optional<std::filesystem::path> listedSource(const std::filesystem::path& path) const;

  // The signal (SIGINT or SIGTERM) that asked the program to stop, or 0.
  int interruption() const { return interruption_; }
  // The exit status for an interruption: 128 + the signal.
  int interruptedExitStatus() const { return 128 + interruption_; }

  appController& controller() { return *controller_; }
  TerminalWindow& window() { return window_; }
  // The writer that is selected, in words: menu index, display name, name.
  QString selectedWriterText();
  // What the disc in the selected writer is, in words.
  QString discText();

 private:
  StringTable strings_;
  std::unique_ptr<CombinedService> service_;
  ValueTransformerRegistry transformers_;
  TerminalWindow window_;
  std::unique_ptr<appController> controller_;
  std::unique_ptr<QSocketNotifier> signals_;
  int settledCount_ = 0;
  int interruption_ = 0;
};

// The menu index of the writer a user names: its name (as in 'writer list',
// the last part of its registry path), its device path (/dev/sr0), its
// display name, or its number in 'tessaline-cli writers'. A name that fits
// several writers is an error listing them.
Result<int> resolveWriter(const QString& spec, const std::vector<WriterRecord>& records,
                          const std::vector<std::shared_ptr<Writer>>& devices);

// The --writer option shared by every command that uses a writer.
QCommandLineOption writerOption();
std::optional<QString> writerSpec(const QCommandLineParser& parser);

// The positional arguments as the exact bytes the shell passed (a name that
// is not UTF-8 must reach the burn list unchanged).
std::vector<std::filesystem::path> positionalPaths(const QCommandLineParser& parser,
                                                   const std::vector<std::string>& rawArgs);

}  // namespace tessaline::cli
