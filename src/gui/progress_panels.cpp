#include "gui/progress_panels.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace tessaline::gui {

SheetDialog::SheetDialog(QWidget* parent) : QDialog(parent) {
  setModal(false);
}

void SheetDialog::reject() {
  if (closable_) QDialog::reject();
  else Q_EMIT stopRequested();
}

void SheetDialog::closeEvent(QCloseEvent* event) {
  if (closable_) {
    QDialog::closeEvent(event);
    return;
  }
  event->ignore();
  Q_EMIT stopRequested();
}

ImagingSheet::ImagingSheet(QWidget* window) : dialog_(new SheetDialog(window)) {
  dialog_->setObjectName(QStringLiteral("ImagingPanel"));
  dialog_->setWindowTitle(QObject::tr("Preparing the session"));
  auto* layout = new QVBoxLayout(dialog_);
  auto* label = new QLabel(QObject::tr("Preparing the session image..."), dialog_);
  auto* bar = new QProgressBar(dialog_);
  bar->setObjectName(QStringLiteral("ImagingProgressIndicator"));
  bar->setTextVisible(false);
  bar->setMinimumWidth(320);
  cancel_ = new QPushButton(QObject::tr("Cancel"), dialog_);
  cancel_->setObjectName(QStringLiteral("cancelImaging"));
  QObject::connect(cancel_, &QPushButton::clicked, dialog_, &SheetDialog::stopRequested);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cancel_);
  layout->addWidget(label);
  layout->addWidget(bar);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  indicator_ = std::make_unique<BarIndicator>(bar);
}

ImagingSheet::~ImagingSheet() = default;

void ImagingSheet::beginSheet() {
  dialog_->show();
  dialog_->raise();
  if (onChange_) onChange_();
  // Staging may hold the main thread next: show the sheet now.
  dialog_->repaint();
}

void ImagingSheet::endSheet() {
  dialog_->hide();  // hiding is no close: the user still cannot close the sheet
  if (onChange_) onChange_();
}

JobProgressDialog::JobProgressDialog(QWidget* parent, Job& job, const QString& description)
    : SheetDialog(parent), job_(&job) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(description);
  auto* layout = new QVBoxLayout(this);
  auto* title = new QLabel(description, this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  phase_ = new QLabel(phaseText(job.status()), this);
  phase_->setObjectName(QStringLiteral("phase"));
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 0);
  bar_->setTextVisible(false);
  bar_->setMinimumWidth(340);
  error_ = new QLabel(this);
  error_->setObjectName(QStringLiteral("error"));
  error_->setWordWrap(true);
  error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  error_->hide();
  close_ = new QPushButton(tr("Close"), this);
  close_->hide();
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
  stop_ = new QPushButton(tr("Stop..."), this);
  stop_->setObjectName(QStringLiteral("stopJob"));
  connect(stop_, &QPushButton::clicked, this, &SheetDialog::stopRequested);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(stop_);
  buttons->addWidget(close_);
  layout->addWidget(title);
  layout->addWidget(phase_);
  layout->addWidget(bar_);
  layout->addWidget(error_);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  timer_.setInterval(kPollIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &JobProgressDialog::poll);
  connect(&job, &Job::finished, this, &JobProgressDialog::jobFinished);
  // The job may be deleted after its end; the panel keeps what it showed.
  connect(&job, &QObject::destroyed, this, [this] {
    job_ = nullptr;
    if (!ended_) jobFinished();
  });
  timer_.start();
}

QString JobProgressDialog::phaseText(const JobStatus& status) {
  const int percent = static_cast<int>(std::lround(std::clamp(status.percent, 0.0, 100.0)));
  switch (status.phase) {
    case JobPhase::Preparing: return tr("Preparing...");
    case JobPhase::Writing: return tr("Writing: %1%").arg(percent);
    case JobPhase::Verifying: return tr("Verifying: %1%").arg(percent);
    case JobPhase::Finishing: return tr("Finishing...");
    case JobPhase::Succeeded: return tr("Done.");
    case JobPhase::Failed: return tr("Failed.");
    case JobPhase::Cancelled: return tr("Cancelled.");
  }
  return {};
}

void JobProgressDialog::poll() {
  if (!job_) return;
  const JobStatus status = job_->status();
  phase_->setText(phaseText(status));
  if (status.phase == JobPhase::Writing || status.phase == JobPhase::Verifying) {
    if (bar_->maximum() != 1000) bar_->setRange(0, 1000);
    bar_->setValue(static_cast<int>(std::lround(std::clamp(status.percent, 0.0, 100.0) * 10.0)));
  } else if (!status.finished()) {
    bar_->setRange(0, 0);
  }
}

void JobProgressDialog::jobFinished() {
  if (ended_) return;
  ended_ = true;
  timer_.stop();
  JobStatus status;
  status.phase = JobPhase::Failed;
  if (job_) status = job_->status();
  const bool succeeded = status.phase == JobPhase::Succeeded;
  job_ = nullptr;
  stop_->hide();
  Q_EMIT jobEnded(succeeded);
  setClosable(true);
  if (succeeded) {
    close();
    return;
  }
  // A failure stays up with its reason until the user has read it.
  phase_->setText(phaseText(status));
  bar_->setRange(0, 1000);
  bar_->setValue(0);
  error_->setText(status.error ? QString::fromStdString(status.error->message)
                               : tr("The writer stopped before the work was complete."));
  error_->show();
  close_->show();
  close_->setDefault(true);
  close_->setFocus();
}

void DialogProgressPanels::beginBurnProgress(Job& job, const QString& description) {
  auto* panel = new JobProgressDialog(window_, job, description);
  panel->setObjectName(QStringLiteral("burnProgressPanel"));
  track(panel, &burnPanel_);
  panel->show();
  Q_EMIT workChanged();
}

void DialogProgressPanels::beginEraseProgress(Job& job, const QString& description) {
  auto* panel = new JobProgressDialog(window_, job, description);
  panel->setObjectName(QStringLiteral("eraseProgressPanel"));
  track(panel, &erasePanel_);
  panel->show();
  Q_EMIT workChanged();
}

void DialogProgressPanels::track(JobProgressDialog* panel, JobProgressDialog** slot) {
  *slot = panel;
  connect(panel, &SheetDialog::stopRequested, this, [this, panel] { Q_EMIT stopRequested(panel); });
  connect(panel, &JobProgressDialog::jobEnded, this, [this] { Q_EMIT workChanged(); });
  // This object goes before the window's children: the connection goes with it.
  connect(panel, &QObject::destroyed, this, [this, panel, slot] {
    if (*slot == panel) *slot = nullptr;
  });
}

Job* DialogProgressPanels::runningBurn() const { return burnPanel_ ? burnPanel_->job() : nullptr; }
Job* DialogProgressPanels::runningErase() const { return erasePanel_ ? erasePanel_->job() : nullptr; }

JobProgressDialog* DialogProgressPanels::runningPanel() const {
  if (runningBurn() != nullptr) return burnPanel_;
  if (runningErase() != nullptr) return erasePanel_;
  return nullptr;
}

}  // namespace tessaline::gui
