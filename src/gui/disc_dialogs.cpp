#include "gui/disc_dialogs.h"

#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/app_controller.h"

namespace tessaline::gui {

namespace {

QDialog* newSheet(QWidget* parent, const QString& objectName, const QString& title) {
  auto* dialog = new QDialog(parent);
  dialog->setObjectName(objectName);
  dialog->setWindowTitle(title);
  dialog->setWindowModality(Qt::WindowModal);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  return dialog;
}

QTableWidget* newTable(QWidget* parent, const QStringList& headers) {
  auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  table->setObjectName(QStringLiteral("table"));
  table->setHorizontalHeaderLabels(headers);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  return table;
}

void addRow(QTableWidget* table, const QStringList& cells) {
  const int row = table->rowCount();
  table->insertRow(row);
  for (int column = 0; column < cells.size(); ++column) {
    auto* item = new QTableWidgetItem(cells[column]);
    item->setToolTip(cells[column]);
    table->setItem(row, column, item);
  }
}

QString number(std::int64_t n) { return QString::number(n); }

// Why the dialog cannot open, as a sheet on the window.
void showRefusal(QWidget* parent, const QString& objectName, const QString& title, const QString& text,
                 const std::string& why) {
  auto* box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
  box->setInformativeText(QString::fromStdString(why));
  box->setObjectName(objectName);
  box->setWindowModality(Qt::WindowModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->show();
}

}  // namespace

void showDiscSessions(QWidget* parent, appController& controller) {
  auto history = controller.readDiscHistory();
  if (!history) {
    showRefusal(parent, QStringLiteral("sessionsUnreadable"), QObject::tr("Sessions"),
                QObject::tr("The disc's sessions cannot be read."), history.error().message);
    return;
  }
  QDialog* dialog = newSheet(parent, QStringLiteral("sessionsDialog"), QObject::tr("Sessions"));
  auto* table = newTable(dialog, {QObject::tr("Session"), QObject::tr("Start"), QObject::tr("Blocks"), QObject::tr("MB"),
                                  QObject::tr("Written"), QObject::tr("Volume"), QObject::tr("Added"),
                                  QObject::tr("Replaced"), QObject::tr("Hidden")});
  for (const SessionSummary& s : history.value().sessions()) {
    QStringList cells{number(s.number), number(s.start.value), number(s.length.value),
                      QString::number(Megabytes::fromBytes(s.length.bytes()).value, 'f', 2)};
    if (s.iso9660)
      cells << (s.created != 0 ? QLocale().toString(QDateTime::fromSecsSinceEpoch(s.created), QLocale::ShortFormat)
                               : QString())
            << displayName(s.volumeId) << number(static_cast<std::int64_t>(s.added))
            << number(static_cast<std::int64_t>(s.replaced)) << number(static_cast<std::int64_t>(s.hidden));
    else
      cells << QObject::tr("not an ISO 9660 session");
    addRow(table, cells);
  }
  table->resizeColumnsToContents();
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(new QLabel(QObject::tr("Each burn added one session; the disc shows the last one, which holds "
                                           "the earlier ones' files too."),
                               dialog));
  layout->addWidget(table);
  layout->addWidget(buttons);
  dialog->resize(720, 320);
  dialog->show();
}

void showVerification(QWidget* parent, appController& controller) {
  if (Status started = controller.startVerification({}, false); !started) {
    showRefusal(parent, QStringLiteral("verifyRefused"), QObject::tr("Verify"),
                QObject::tr("The disc cannot be verified now."), started.error().message);
    return;
  }
  QDialog* dialog = newSheet(parent, QStringLiteral("verifyDialog"), QObject::tr("Verify Against Sources"));
  auto* status = new QLabel(QObject::tr("Comparing the disc with its sources..."), dialog);
  status->setObjectName(QStringLiteral("verifyStatus"));
  status->setWordWrap(true);
  auto* progress = new QProgressBar(dialog);
  progress->setRange(0, 0);
  auto* table = newTable(dialog, {QObject::tr("Entry"), QObject::tr("State"), QObject::tr("Detail")});
  table->hide();
  auto* buttons = new QDialogButtonBox(dialog);
  QPushButton* stop = buttons->addButton(QObject::tr("Stop"), QDialogButtonBox::RejectRole);
  stop->setObjectName(QStringLiteral("stopButton"));
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(status);
  layout->addWidget(progress);
  layout->addWidget(table);
  layout->addWidget(buttons);

  auto running = std::make_shared<bool>(true);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  // Closing the dialog (Stop, Escape) while it compares stops the comparison.
  QObject::connect(dialog, &QDialog::finished, &controller, [running, &controller] {
    if (*running) controller.cancelVerification();
  });
  QObject::connect(&controller, &appController::verificationProgress, dialog, [progress](quint64 done, quint64 total) {
    if (total == 0) return;
    progress->setRange(0, 1000);
    progress->setValue(static_cast<int>(1000.0 * static_cast<double>(done) / static_cast<double>(total)));
  });
  QObject::connect(&controller, &appController::verificationFinished, dialog,
                   [dialog, status, progress, table, stop, running](const DiscComparison& result) {
                     *running = false;
                     progress->hide();
                     stop->setText(QObject::tr("Close"));
                     for (const DiscEntry& e : result.entries)
                       addRow(table, {displayName(e.path), QString::fromLatin1(discEntryStateName(e.state)),
                                      QString::fromStdString(e.detail)});
                     table->resizeColumnsToContents();
                     table->setVisible(!result.entries.empty());
                     if (result.matches())
                       status->setText(QObject::tr("The disc is a true copy of its sources: %n file(s) compared.", "",
                                                   static_cast<int>(result.filesCompared)));
                     else
                       status->setText(QObject::tr("%1 differ, %2 wait for the next update, %3 were deleted from "
                                                   "the sources (the disc keeps them), %4 were never burned.")
                                           .arg(result.count(DiscEntryState::Differs))
                                           .arg(result.count(DiscEntryState::Pending))
                                           .arg(result.count(DiscEntryState::OnlyOnDisc))
                                           .arg(result.count(DiscEntryState::OnlyInSource)));
                     // Grown to show the result, never narrowed: adjustSize would cut the details short.
                     dialog->resize(dialog->size().expandedTo(dialog->sizeHint()));
                   });
  dialog->resize(640, 160);
  dialog->show();
}

}  // namespace tessaline::gui
