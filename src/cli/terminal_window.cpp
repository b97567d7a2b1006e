#include "cli/terminal_window.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "cli/terminal_text.h"
#include "devices/disc_recording_service.h"

namespace tessaline::cli {
namespace {

// Each line of an alert on its own line, escaped: a detail may name files.
void printLine(const QString& text) {
  for (const QString& line : text.split(QLatin1Char('\n'))) {
    std::fputs(printable(line).toLocal8Bit().constData(), stderr);
    std::fputc('\n', stderr);
  }
}

// A data CD written at 1x moves 75 blocks of 2048 bytes a second.
constexpr double kCdSpeedBytesPerSecond = 153600.0;
constexpr double kMB = 1e6;

int terminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS"); columns != nullptr && std::atoi(columns) > 0)
    return std::atoi(columns);
  return 80;
}

QString duration(double seconds) {
  const auto s = static_cast<long long>(seconds + 0.5);
  if (s >= 3600) return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

const char* phaseName(JobPhase phase, bool erase) {
  switch (phase) {
    case JobPhase::Preparing: return "Preparing";
    case JobPhase::Writing: return erase ? "Erasing" : "Writing";
    case JobPhase::Verifying: return "Verifying";
    case JobPhase::Finishing: return "Finishing";
    case JobPhase::Succeeded: return "Done";
    case JobPhase::Failed: return "Failed";
    case JobPhase::Cancelled: return "Cancelled";
  }
  return "";
}

}  // namespace

TerminalWindow::TerminalWindow(const StringTable& strings, bool assumeYes, bool quiet, QObject* parent)
    : QObject(parent),
      strings_(strings),
      assumeYes_(assumeYes),
      quiet_(quiet),
      imagingBar_(std::make_unique<Bar>(QStringLiteral("Imaging"), quiet)),
      spinner_(std::make_unique<Bar>(QString(), true)),
      writerMenu_(std::make_unique<Menu>()),
      speedMenu_(std::make_unique<Menu>()) {
  jobTimer_.setInterval(200);
}

TerminalWindow::~TerminalWindow() = default;

WindowParts TerminalWindow::parts() {
  WindowParts parts;
  parts.mainWindow = this;
  parts.alerts = this;
  parts.updateProgressIndicator = spinner_.get();
  parts.ImagingPanel = this;
  parts.ImagingProgressIndicator = imagingBar_.get();
  parts.cdNameField = this;
  parts.writerMenue = writerMenu_.get();
  parts.speedMenue = speedMenu_.get();
  parts.progressPanels = this;
  parts.workspace = this;
  parts.application = this;
  return parts;
}

void TerminalWindow::showAlert(const AlertRequest& request, std::function<void(int)> completion) {
  const bool question = request.buttonKeys.size() >= 2;
  // A question --yes answers is a remark, which --quiet leaves out.
  if (!(question && quiet_ && assumeYes_)) {
    printLine(strings_.localized(request.messageKey));
    const QString informative = strings_.localized(request.informativeKey);
    if (!informative.isEmpty()) printLine(informative);
    if (!request.detail.isEmpty()) printLine(request.detail.trimmed());
  }

  int answer = kAlertFirstButtonReturn;
  if (!question) {
    refusalShown_ = true;
  } else if (!assumeYes_) {
    // A question: ask on a terminal; without one, the safe answer is the second button.
    answer = kAlertSecondButtonReturn;
    if (isatty(STDIN_FILENO) != 0) {
      std::fprintf(stderr, "%s? [y/N] ", strings_.localized(request.buttonKeys.front()).toLocal8Bit().constData());
      std::string line;
      std::getline(std::cin, line);
      if (!line.empty() && (line[0] == 'y' || line[0] == 'Y')) answer = kAlertFirstButtonReturn;
    } else {
      printLine(QStringLiteral("(not confirmed: no terminal to ask on; pass --yes to confirm)"));
    }
  }
  if (answer != kAlertFirstButtonReturn) questionDeclined_ = true;
  // The answer arrives like a sheet's: after the caller has returned.
  QTimer::singleShot(0, this, [completion = std::move(completion), answer] { completion(answer); });
}

void TerminalWindow::beep() { printLine(QStringLiteral("refused: a source of that name is in the burn list already")); }

void TerminalWindow::beginSheet() { imagingBar_->draw(QStringLiteral("Staging"), -1); }
// The image's size is only estimated while it is built: no claim of 100%.
void TerminalWindow::endSheet() { imagingBar_->close(); }

void TerminalWindow::beginBurnProgress(Job& job, const QString& description) { watchJob(job, description, false); }
// The description the controller gives says "disk"; a CD is a disc.
void TerminalWindow::beginEraseProgress(Job& job, const QString&) {
  watchJob(job, QStringLiteral("Erasing disc..."), true);
}

void TerminalWindow::watchJob(Job& job, const QString& description, bool erase) {
  if (!quiet_) printLine(description);
  auto bar = std::make_shared<Bar>(QString(), quiet_);
  if (!erase && jobBytes_) bar->setTotalBytes(jobBytes_());
  auto lastPhase = std::make_shared<std::optional<JobPhase>>();
  QObject::disconnect(&jobTimer_, nullptr, nullptr, nullptr);
  auto show = [&job, bar, lastPhase, erase] {
    const JobStatus status = job.status();
    if (status.finished()) return;
    // Writing and verifying are steps of their own; a step that gave way to
    // the next one has ended.
    if (*lastPhase && status.phase != **lastPhase) bar->finish(true);
    *lastPhase = status.phase;
    bar->draw(QString::fromLatin1(phaseName(status.phase, erase)), status.percent);
  };
  // Tied to the job: a tick can never reach a job that has been deleted.
  connect(&jobTimer_, &QTimer::timeout, &job, show);
  connect(&job, &Job::finished, this, [this, &job, bar, lastPhase, erase] {
    jobTimer_.stop();
    const JobStatus status = job.status();
    // A job quicker than the first poll still says that it got to the end.
    if (status.phase == JobPhase::Succeeded && !*lastPhase)
      bar->draw(QString::fromLatin1(phaseName(JobPhase::Writing, erase)), 100);
    bar->finish(status.phase == JobPhase::Succeeded);
  });
  jobTimer_.start();
}

TerminalWindow::Bar::Bar(QString label, bool quiet)
    : label_(std::move(label)), quiet_(quiet), onTerminal_(isatty(STDERR_FILENO) != 0) {}

void TerminalWindow::Bar::setDoubleValue(double percent) {
  draw(QStringLiteral("Imaging"), percent);
}

QString TerminalWindow::Bar::detail(double percent) const {
  if (totalBytes_ == 0 || percent < 0) return {};
  const double total = static_cast<double>(totalBytes_);
  const double done = total * percent / 100.0;
  QString text = QStringLiteral("%1 of %2 MB").arg(done / kMB, 0, 'f', 1).arg(total / kMB, 0, 'f', 1);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  // Too early to tell below a second; no division by a near-zero time.
  const double rate = seconds >= 1.0 ? (done - total * startPercent_ / 100.0) / seconds : 0.0;
  if (rate > 0) {
    text += QStringLiteral("  %1x %2 MB/s  %3 left")
                .arg(rate / kCdSpeedBytesPerSecond, 0, 'f', 1)
                .arg(rate / kMB, 0, 'f', 1)
                .arg(duration((total - done) / rate));
  }
  return text;
}

void TerminalWindow::Bar::draw(const QString& label, double percent) {
  if (quiet_) return;
  if (!label.isEmpty() && label != label_) {
    if (drawn_) finish(true);
    label_ = label;
  }
  percent_ = percent < 0 ? -1 : std::clamp(percent, 0.0, 100.0);
  if (!drawn_) {
    started_ = std::chrono::steady_clock::now();
    startPercent_ = std::max(percent_, 0.0);
    lastShown_ = -1;
  }
  const int shown = percent_ < 0 ? -1 : static_cast<int>(percent_);
  if (onTerminal_) {
    QString line = QStringLiteral("%1 ").arg(label_, -9);
    const QString more = detail(percent_);
    if (shown < 0) {
      line += QStringLiteral("...");
    } else {
      line += QStringLiteral("%1%").arg(shown, 3);
      const int width = terminalWidth() - 1;  // the last column would wrap
      const int barWidth = std::min(30, width - static_cast<int>(line.size() + more.size()) - 5);
      if (barWidth >= 10) {
        const int filled = shown * barWidth / 100;
        line += QStringLiteral(" [") + QString(filled, QLatin1Char('#')) + QString(barWidth - filled, QLatin1Char('.')) +
                QLatin1Char(']');
      }
      if (!more.isEmpty()) line += QStringLiteral("  ") + more;
      line.truncate(width);
    }
    std::fprintf(stderr, "\r%s\033[K", line.toLocal8Bit().constData());
    std::fflush(stderr);
    drawn_ = true;
    lastShown_ = shown;
    return;
  }
  // Plain lines: one when the step begins, then one at each tenth.
  const int tenth = shown < 0 ? -1 : shown / 10 * 10;
  if (drawn_ && (tenth == lastShown_ || tenth < 0)) return;
  lastShown_ = tenth;
  drawn_ = true;
  if (tenth < 0) std::fprintf(stderr, "%s...\n", label_.toLocal8Bit().constData());
  else std::fprintf(stderr, "%s %d%%\n", label_.toLocal8Bit().constData(), tenth);
}

void TerminalWindow::Bar::finish(bool succeeded) {
  if (quiet_ || !drawn_) return;
  const QString more = detail(percent_);
  if (succeeded && percent_ >= 0 && lastShown_ != 100) {
    // The last poll may have come before the end.
    if (onTerminal_) draw(QString(), 100);
    else std::fprintf(stderr, "%s 100%%\n", label_.toLocal8Bit().constData());
  }
  if (onTerminal_) std::fputc('\n', stderr);
  if (!succeeded && percent_ >= 0)
    std::fprintf(stderr, "%s stopped at %d%%%s\n", label_.toLocal8Bit().constData(), static_cast<int>(percent_),
                 more.isEmpty() ? "" : QStringLiteral(" (%1)").arg(more.section(QStringLiteral("  "), 0, 0)).toLocal8Bit().constData());
  drawn_ = false;
  percent_ = -1;
}

void TerminalWindow::Bar::close() {
  if (quiet_ || !drawn_) return;
  if (onTerminal_) std::fputc('\n', stderr);
  drawn_ = false;
  percent_ = -1;
}

}  // namespace tessaline::cli
