#include "cli/terminal_window.h"

#include <unistd.h>

#include <cstdio>
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

const char* phaseName(JobPhase phase) {
  switch (phase) {
    case JobPhase::Preparing: return "Preparing";
    case JobPhase::Writing: return "Writing";
    case JobPhase::Verifying: return "Verifying";
    case JobPhase::Finishing: return "Finishing";
    case JobPhase::Succeeded: return "Done";
    case JobPhase::Failed: return "Failed";
    case JobPhase::Cancelled: return "Cancelled";
  }
  return "";
}

}  // namespace

TerminalWindow::TerminalWindow(const StringTable& strings, bool assumeYes, QObject* parent)
    : QObject(parent),
      strings_(strings),
      assumeYes_(assumeYes),
      imagingBar_(std::make_unique<Bar>(QStringLiteral("Imaging"))),
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
  printLine(strings_.localized(request.messageKey));
  const QString informative = strings_.localized(request.informativeKey);
  if (!informative.isEmpty()) printLine(informative);
  if (!request.detail.isEmpty()) printLine(request.detail.trimmed());

  int answer = kAlertFirstButtonReturn;
  if (request.buttonKeys.size() < 2) {
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
void TerminalWindow::endSheet() { imagingBar_->finish(); }

void TerminalWindow::beginBurnProgress(Job& job, const QString& description) { watchJob(job, description); }
void TerminalWindow::beginEraseProgress(Job& job, const QString& description) { watchJob(job, description); }

void TerminalWindow::watchJob(Job& job, const QString& description) {
  printLine(description);
  auto bar = std::make_shared<Bar>(QString());
  auto lastPhase = std::make_shared<JobPhase>(JobPhase::Preparing);
  QObject::disconnect(&jobTimer_, nullptr, nullptr, nullptr);
  connect(&jobTimer_, &QTimer::timeout, this, [&job, bar, lastPhase] {
    const JobStatus status = job.status();
    if (status.phase != *lastPhase) {
      bar->finish();
      *lastPhase = status.phase;
    }
    if (!status.finished()) bar->draw(QString::fromLatin1(phaseName(status.phase)), status.percent);
  });
  connect(&job, &Job::finished, this, [this, bar] {
    jobTimer_.stop();
    bar->finish();
  });
  jobTimer_.start();
}

TerminalWindow::Bar::Bar(QString label, bool quiet)
    : label_(std::move(label)), quiet_(quiet), onTerminal_(isatty(STDERR_FILENO) != 0) {}

void TerminalWindow::Bar::setDoubleValue(double percent) {
  indeterminate_ = false;
  draw(QStringLiteral("Imaging"), percent);
}

void TerminalWindow::Bar::draw(const QString& label, double percent) {
  if (quiet_) return;
  if (!label.isEmpty()) label_ = label;
  const int shown = percent < 0 ? -1 : static_cast<int>(std::min(percent, 100.0));
  if (onTerminal_) {
    if (shown < 0) {
      std::fprintf(stderr, "\r%-10s ...", label_.toLocal8Bit().constData());
    } else {
      const int filled = shown * 30 / 100;
      std::fprintf(stderr, "\r%-10s [%s%s] %3d%%", label_.toLocal8Bit().constData(),
                   std::string(static_cast<std::size_t>(filled), '#').c_str(),
                   std::string(static_cast<std::size_t>(30 - filled), '.').c_str(), shown);
    }
    std::fflush(stderr);
    lastShown_ = shown;
    return;
  }
  // Plain lines: one at the start and at every tenth.
  if (shown == lastShown_ || (shown >= 0 && lastShown_ >= 0 && shown / 10 == lastShown_ / 10)) return;
  lastShown_ = shown;
  if (shown < 0) std::fprintf(stderr, "%s...\n", label_.toLocal8Bit().constData());
  else std::fprintf(stderr, "%s %d%%\n", label_.toLocal8Bit().constData(), shown);
}

void TerminalWindow::Bar::finish() {
  if (quiet_) return;
  if (onTerminal_ && lastShown_ != -2) std::fputc('\n', stderr);
  lastShown_ = -2;
}

}  // namespace tessaline::cli
