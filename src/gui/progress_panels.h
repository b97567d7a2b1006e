#pragma once
// The sheets that cover the main window while work runs: the imaging sheet
// (staging and the image build) and the progress panels of a burn and an
// erase, which poll the job's status.

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <memory>

#include "app/window_parts.h"
#include "devices/disc_recording_service.h"
#include "gui/widget_parts.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tessaline::gui {

// A window-modal dialog that the user cannot dismiss while its work runs.
class SheetDialog : public QDialog {
  Q_OBJECT
 public:
  explicit SheetDialog(QWidget* parent);
  void setClosable(bool closable) { closable_ = closable; }
  bool closable() const { return closable_; }
  void reject() override;

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

 private:
  SheetDialog* dialog_;  // a child of the window, which outlives this
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

 private:
  void track(JobProgressDialog* panel, JobProgressDialog** slot);

  QWidget* window_;
  JobProgressDialog* burnPanel_ = nullptr;
  JobProgressDialog* erasePanel_ = nullptr;
};

}  // namespace tessaline::gui
