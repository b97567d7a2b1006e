#pragma once
// The sheets that cover the main window while work runs: the imaging sheet
// (staging and the image build) and the progress panels of a burn and an
// erase, which poll the job's status.

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

#include "app/window_parts.h"
#include "devices/disc_recording_service.h"
#include "gui/widget_parts.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tessaline::gui {

// A sheet over the main window while its work runs. It is not modal in
// Qt's sense: a modal window would keep the window manager's close and
// Ctrl+Q from reaching the main window, which must be able to ask whether to
// quit during the work; the main window disables its own controls instead.
// Closing it (Escape, its close button) while the work runs asks to stop.
class SheetDialog : public QDialog {
  Q_OBJECT
 public:
  explicit SheetDialog(QWidget* parent);
  void setClosable(bool closable) { closable_ = closable; }
  bool closable() const { return closable_; }
  void reject() override;

 Q_SIGNALS:
  // The user asked to stop the work (Cancel, Stop, Escape, the close button).
  void stopRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  bool closable_ = false;
};

// The imaging sheet ("ImagingPanel") with its bar ("ImagingProgressIndicator").
class ImagingSheet : public Sheet {
 public:
  explicit ImagingSheet(QWidget* window);
  ~ImagingSheet() override;
  void beginSheet() override;
  void endSheet() override;
  ProgressIndicator* indicator() { return indicator_.get(); }
  SheetDialog* dialog() const { return dialog_; }
  QPushButton* cancelButton() const { return cancel_; }
  // Called when the sheet is shown or taken away.
  void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

 private:
  std::function<void()> onChange_;
  SheetDialog* dialog_;  // a child of the window, which outlives this
  QPushButton* cancel_ = nullptr;
  std::unique_ptr<BarIndicator> indicator_;
};

// One job's progress: the description, the phase with its percentage, and
// the error text when the job fails (then the panel stays up until closed).
class JobProgressDialog : public SheetDialog {
  Q_OBJECT
 public:
  static constexpr int kPollIntervalMs = 200;
  JobProgressDialog(QWidget* parent, Job& job, const QString& description);
  // The job while it runs; nothing once it has ended.
  Job* job() const { return job_; }
  // The phase line as shown, e.g. "Writing: 42%".
  static QString phaseText(const JobStatus& status);
  QPushButton* stopButton() const { return stop_; }

 Q_SIGNALS:
  void jobEnded(bool succeeded);

 private:
  void poll();
  void jobFinished();

  Job* job_;
  QTimer timer_;
  QLabel* phase_ = nullptr;
  QLabel* error_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPushButton* close_ = nullptr;
  QPushButton* stop_ = nullptr;
  bool ended_ = false;
};

class DialogProgressPanels : public QObject, public ProgressPanels {
  Q_OBJECT
 public:
  explicit DialogProgressPanels(QWidget* window) : window_(window) {}
  void beginBurnProgress(Job& job, const QString& description) override;
  void beginEraseProgress(Job& job, const QString& description) override;
  // The job whose panel is up, while it runs.
  Job* runningBurn() const;
  Job* runningErase() const;
  // The panel of a running job, if any (a burn's before an erase's).
  JobProgressDialog* runningPanel() const;

 Q_SIGNALS:
  // A panel's Stop (or close) was asked for.
  void stopRequested(tessaline::gui::JobProgressDialog* panel);
  // A job's panel came up, or its job ended.
  void workChanged();

 private:
  void track(JobProgressDialog* panel, JobProgressDialog** slot);

  QWidget* window_;
  JobProgressDialog* burnPanel_ = nullptr;
  JobProgressDialog* erasePanel_ = nullptr;
};

}  // namespace tessaline::gui
