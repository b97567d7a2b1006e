#include "gui/main_window.h"

#include "gui/disc_dialogs.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>

#include <cmath>

#include "app/update_check.h"
#include "app/value_transformers.h"
#include "devices/emulated/emulated_writers.h"
#include "gui/file_arguments.h"
#include "gui/joliet_check.h"
#include "gui/preferences_panel.h"

namespace tessaline::gui {
namespace {

// Qt's own file dialog, made to return files and folders together: in
// folder mode it lists files as well, and Add takes whatever is selected
// instead of insisting on one folder.
class SourceChooser : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    auto* nameEdit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    bool anySelected = nameEdit != nullptr && !nameEdit->text().trimmed().isEmpty();
    // The list and detail views share one selection.
    for (const char* name : {"listView", "treeView"})
      for (auto* view : findChildren<QAbstractItemView*>(QString::fromLatin1(name)))
        if (view->selectionModel() != nullptr && view->selectionModel()->hasSelection()) anySelected = true;
    // Nothing chosen: Add would otherwise take the folder being shown.
    if (!anySelected) return;
    const QStringList files = selectedFiles();
    if (files.isEmpty()) return;
    QDialog::accept();
  }
};

}  // namespace

QColor rowTextColour(const QModelIndex& index) {
  const QVariant name = index.data(SessionContentModel::TextColourRole);
  return name.isValid() ? QColor(name.toString()) : QColor();
}

void BurnListDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
  QStyledItemDelegate::initStyleOption(option, index);
  const QColor colour = rowTextColour(index);
  if (colour.isValid()) option->palette.setColor(QPalette::Text, colour);
}

QItemSelectionModel::SelectionFlags BurnTableView::selectionCommand(const QModelIndex& index,
                                                                    const QEvent* event) const {
  // A click on a permanent row changes nothing: it cannot be selected, and
  // the rows selected before stay selected.
  if (index.isValid() && shouldSelectRow_ && !shouldSelectRow_(index.row())) return QItemSelectionModel::NoUpdate;
  return QTableView::selectionCommand(index, event);
}

bool isGTZero(const appController& controller, const QVariant& value) {
  return controller.valueTransformers().transform(QLatin1String(kIsGTZeroTransformerName), value).toInt() == 1;
}

std::string emulatedWriterName(const std::string& ioRegistryEntryPath) {
  const auto slash = ioRegistryEntryPath.find_last_of('/');
  return slash == std::string::npos ? ioRegistryEntryPath : ioRegistryEntryPath.substr(slash + 1);
}

TessalineWindow::TessalineWindow(appController& controller, ApplicationControl& application, QWidget* parent)
    : QMainWindow(parent),
      controller_(controller),
      application_(application),
      writerCombo_(new QComboBox(this)),
      speedCombo_(new QComboBox(this)),
      nameEdit_(new QLineEdit(this)),
      writerMenue_(writerCombo_),
      speedMenue_(speedCombo_),
      nameField_(nameEdit_),
      alerts_(controller.strings(), this),
      imaging_(this),
      panels_(this) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(QStringLiteral("Tessaline"));
  buildWidgets();
  buildMenus();
  connectController();
  connectSheets();
  preferencePanel_ = new PreferencesPanel(controller_.preferences(), this);
  resize(620, 520);
  // The saved frame comes back as the platform would restore it; without
  // one the controller centres the window.
  if (const auto frame = controller_.preferences().valueForKey(prefs::mainWindowFrame))
    restoreGeometry(frame->toByteArray());
  refreshStatus();
  refreshControls();
}

TessalineWindow::~TessalineWindow() = default;

WindowParts TessalineWindow::parts() {
  WindowParts parts;
  parts.mainWindow = this;
  parts.alerts = &alerts_;
  parts.updateProgressIndicator = spinner_;
  parts.ImagingPanel = &imaging_;
  parts.ImagingProgressIndicator = imaging_.indicator();
  parts.cdNameField = &nameField_;
  parts.writerMenue = &writerMenue_;
  parts.speedMenue = &speedMenue_;
  parts.progressPanels = &panels_;
  parts.workspace = &workspace_;
  parts.application = &application_;
  return parts;
}

void TessalineWindow::buildWidgets() {
  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("background"));
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(14, 12, 14, 12);
  layout->setSpacing(10);

  // Writer, speed and the spinner.
  auto* top = new QHBoxLayout;
  auto* writerLabel = new QLabel(tr("Writer:"), central);
  writerCombo_->setObjectName(QStringLiteral("writerMenue"));
  writerCombo_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  writerCombo_->setMinimumContentsLength(18);
  writerLabel->setBuddy(writerCombo_);
  auto* speedLabel = new QLabel(tr("Speed:"), central);
  speedCombo_->setObjectName(QStringLiteral("speedMenue"));
  fillSpeedMenu(speedCombo_, {});
  speedLabel->setBuddy(speedCombo_);
  spinner_ = new BusySpinner(central);
  spinner_->setObjectName(QStringLiteral("updateProgressIndicator"));
  top->addWidget(writerLabel);
  top->addWidget(writerCombo_, 1);
  top->addSpacing(12);
  top->addWidget(speedLabel);
  top->addWidget(speedCombo_);
  top->addSpacing(6);
  top->addWidget(spinner_);
  layout->addLayout(top);

  // The disc's status.
  auto* statusBox = new QFrame(central);
  statusBox->setObjectName(QStringLiteral("statusBox"));
  statusBox->setFrameShape(QFrame::StyledPanel);
  statusBox->setAutoFillBackground(true);
  auto* grid = new QGridLayout(statusBox);
  grid->setContentsMargins(10, 8, 10, 8);
  statusTitle_ = new QLabel(statusBox);
  statusTitle_->setObjectName(QStringLiteral("title"));
  QFont titleFont = statusTitle_->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.15);
  statusTitle_->setFont(titleFont);
  statusText_ = new QLabel(statusBox);
  statusText_->setObjectName(QStringLiteral("deviceStatusString"));
  statusText_->setWordWrap(true);  // a reason why the writer cannot be read can be long
  capacityBar_ = new CapacityBar(statusBox);
  capacityBar_->setObjectName(QStringLiteral("capacityBar"));
  capacityBar_->setTextVisible(false);
  capacityBar_->setMaximumHeight(10);
  capacityBar_->setRange(0, 1000);
  spaceText_ = new QLabel(statusBox);
  spaceText_->setObjectName(QStringLiteral("space"));
  eraseButton_ = new QPushButton(tr("Erase..."), statusBox);
  eraseButton_->setObjectName(QStringLiteral("eraseButton"));
  mountButton_ = new QPushButton(tr("Mount"), statusBox);
  mountButton_->setObjectName(QStringLiteral("mountButton"));
  mountButton_->setToolTip(tr("The system has not mounted this disc. Ask it to, so that Tessaline can see what "
                              "the disc holds and continue it."));
  mountButton_->hide();
  spaceText_->setWordWrap(true);
  grid->addWidget(statusTitle_, 0, 0);
  grid->addWidget(statusText_, 0, 1, Qt::AlignRight);
  grid->addWidget(eraseButton_, 0, 2, 3, 1, Qt::AlignVCenter);
  grid->addWidget(mountButton_, 0, 3, 3, 1, Qt::AlignVCenter);
  grid->addWidget(capacityBar_, 1, 0, 1, 2);
  grid->addWidget(spaceText_, 2, 0, 1, 2);
  grid->setColumnStretch(0, 1);
  grid->setHorizontalSpacing(12);
  layout->addWidget(statusBox);

  // The burn list.
  tableView_ = new BurnTableView(central);
  tableView_->setObjectName(QStringLiteral("tableView"));
  auto& model = controller_.sessionContentController();
  tableView_->setModel(&model);
  tableView_->setSelectionModel(model.selectionModel());
  tableView_->setShouldSelectRow([this](int row) { return controller_.shouldSelectRow(row); });
  delegate_ = new BurnListDelegate(tableView_);
  tableView_->setItemDelegate(delegate_);
  tableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  tableView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tableView_->setShowGrid(false);
  tableView_->setAlternatingRowColors(true);
  tableView_->setWordWrap(false);
  tableView_->setTextElideMode(Qt::ElideMiddle);
  tableView_->setIconSize(QSize(16, 16));
  tableView_->verticalHeader()->hide();
  tableView_->verticalHeader()->setDefaultSectionSize(22);
  tableView_->horizontalHeader()->setSectionResizeMode(SessionContentModel::NameColumn, QHeaderView::Stretch);
  tableView_->horizontalHeader()->resizeSection(SessionContentModel::LocationColumn, 170);
  tableView_->horizontalHeader()->setSectionResizeMode(SessionContentModel::SizeColumn, QHeaderView::ResizeToContents);
  tableView_->horizontalHeader()->setHighlightSections(false);
  tableView_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  tableView_->setMinimumHeight(160);
  layout->addWidget(tableView_, 1);

  // Add, Remove and the total.
  auto* listRow = new QHBoxLayout;
  addButton_ = new QPushButton(tr("Add..."), central);
  addButton_->setObjectName(QStringLiteral("addButton"));
  removeButton_ = new QPushButton(tr("Remove"), central);
  removeButton_->setObjectName(QStringLiteral("removeButton"));
  totalLabel_ = new QLabel(central);
  totalLabel_->setObjectName(QStringLiteral("total"));
  listRow->addWidget(addButton_);
  listRow->addWidget(removeButton_);
  listRow->addStretch(1);
  listRow->addWidget(totalLabel_);
  layout->addLayout(listRow);

  // Volume name, hiding earlier sessions, Burn.
  auto* burnRow = new QHBoxLayout;
  auto* nameLabel = new QLabel(tr("Volume name:"), central);
  nameEdit_->setObjectName(QStringLiteral("cdNameField"));
  nameEdit_->setMaxLength(64);  // the formatter limits it further
  nameEdit_->setMinimumWidth(160);
  nameEdit_->setAcceptDrops(false);  // a drop anywhere adds sources
  nameLabel->setBuddy(nameEdit_);
  hideCheck_ = new QCheckBox(tr("Hide previous sessions"), central);
  hideCheck_->setObjectName(QStringLiteral("hidePreviousSessions"));
  hideCheck_->setToolTip(tr("The next session shows only its own files; the disc's earlier files are hidden."));
  burnButton_ = new QPushButton(tr("Burn"), central);
  burnButton_->setObjectName(QStringLiteral("burnButton"));
  burnButton_->setDefault(true);
  burnButton_->setMinimumWidth(96);
  burnRow->addWidget(nameLabel);
  burnRow->addWidget(nameEdit_);
  burnRow->addSpacing(12);
  burnRow->addWidget(hideCheck_);
  burnRow->addStretch(1);
  burnRow->addWidget(burnButton_);
  layout->addLayout(burnRow);

  setCentralWidget(central);

  connect(addButton_, &QPushButton::clicked, this, [this] { controller_.addSourcePath(); });
  connect(removeButton_, &QPushButton::clicked, this, [this] { controller_.removeSourcePath(); });
  connect(burnButton_, &QPushButton::clicked, this, [this] { checkJolietNamesThenBurn(this, controller_); });
  connect(eraseButton_, &QPushButton::clicked, this, [this] { controller_.attemptErase(); });
  connect(mountButton_, &QPushButton::clicked, this, [this] { controller_.mountDisc(); });
  connect(writerCombo_, &QComboBox::activated, this, [this] { writerChosen(); });
  connect(hideCheck_, &QCheckBox::toggled, this, [this](bool on) { controller_.setHidePreviousSessions(on); });
}

QAction* TessalineWindow::action(const char* name) const {
  return findChild<QAction*>(QString::fromLatin1(name));
}

void TessalineWindow::buildMenus() {
  auto makeAction = [this](QMenu* menu, const QString& text, const char* name, const QKeySequence& keys,
                           std::function<void()> run) {
    auto* a = menu->addAction(text);
    a->setObjectName(QString::fromLatin1(name));
    if (!keys.isEmpty()) a->setShortcut(keys);
    connect(a, &QAction::triggered, this, [run = std::move(run)] { run(); });
    return a;
  };
  QMenu* file = menuBar()->addMenu(tr("&File"));
  makeAction(file, tr("&Add..."), "addAction", QKeySequence(Qt::CTRL | Qt::Key_O), [this] { controller_.addSourcePath(); });
  makeAction(file, tr("&Remove"), "removeAction", QKeySequence(QKeySequence::Delete),
             [this] { controller_.removeSourcePath(); });
  makeAction(file, tr("Recompute &Sizes"), "sizesAction", QKeySequence(),
             [this] { controller_.performUpdateSizeOfBurnItems(); });
  file->addSeparator();
  makeAction(file, tr("&Burn"), "burnAction", QKeySequence(Qt::CTRL | Qt::Key_B),
             [this] { checkJolietNamesThenBurn(this, controller_); });
  makeAction(file, tr("&Erase..."), "eraseAction", QKeySequence(), [this] { controller_.attemptErase(); });
  file->addSeparator();
  auto* quit = makeAction(file, tr("&Quit"), "quitAction", QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });
  quit->setMenuRole(QAction::QuitRole);
  // Ctrl+Q works from the sheets too, so quitting during a burn can be asked.
  quit->setShortcutContext(Qt::ApplicationShortcut);

  // Preferences live under Edit, where freedesktop applications keep them.
  QMenu* edit = menuBar()->addMenu(tr("&Edit"));
  auto* prefs = makeAction(edit, tr("&Preferences..."), "preferencesAction", QKeySequence(Qt::CTRL | Qt::Key_Comma),
                           [this] { showPreferences(); });
  prefs->setMenuRole(QAction::PreferencesRole);

  writerMenu_ = menuBar()->addMenu(tr("&Writer"));
  writerMenu_->setObjectName(QStringLiteral("writerActionsMenu"));
  makeAction(writerMenu_, tr("Insert Blank CD-&R"), "insertCDRAction", QKeySequence(),
             [this] { insertBlank(MediumKind::CDR); });
  makeAction(writerMenu_, tr("Insert Blank CD-R&W"), "insertCDRWAction", QKeySequence(),
             [this] { insertBlank(MediumKind::CDRW); });
  makeAction(writerMenu_, tr("&Eject"), "ejectAction", QKeySequence(), [this] { ejectDisc(); });
  writerMenu_->addSeparator();
  // Ejected emulated discs wait on a shelf until they are inserted again.
  shelfMenu_ = writerMenu_->addMenu(tr("Insert Disc from &Shelf"));
  shelfMenu_->setObjectName(QStringLiteral("shelfMenu"));
  deleteShelfMenu_ = writerMenu_->addMenu(tr("&Delete Disc from Shelf"));
  deleteShelfMenu_->setObjectName(QStringLiteral("deleteShelfMenu"));
  connect(writerMenu_, &QMenu::aboutToShow, this, [this] { refreshShelfMenus(); });

  QMenu* disc = menuBar()->addMenu(tr("&Disc"));
  makeAction(disc, tr("&Sessions..."), "sessionsAction", QKeySequence(), [this] { showDiscSessions(this, controller_); });
  makeAction(disc, tr("&Verify Against Sources..."), "verifyAction", QKeySequence(),
             [this] { showVerification(this, controller_); });

  QMenu* help = menuBar()->addMenu(tr("&Help"));
  help->setObjectName(QStringLiteral("helpMenu"));
  makeAction(help, tr("&How Updating a Disc Works"), "howItWorksAction", QKeySequence(QKeySequence::HelpContents),
             [this] { showHowUpdatingWorks(); });
  makeAction(help, tr("Tessaline &Website"), "websiteAction", QKeySequence(), [this] { controller_.openWebsite(); });
  makeAction(help, tr("Check for &Updates..."), "updateAction", QKeySequence(), [this] { checkForUpdates(); });
  help->addSeparator();
  auto* about = makeAction(help, tr("&About Tessaline"), "aboutAction", QKeySequence(), [this] { showAbout(); });
  about->setMenuRole(QAction::AboutRole);
}

void TessalineWindow::connectSheets() {
  // Cancel on the imaging sheet: nothing has been written yet.
  connect(imaging_.dialog(), &SheetDialog::stopRequested, this, [this] { controller_.cancelBurn(); });
  imaging_.setOnChange([this] { refreshControls(); });
  connect(&panels_, &DialogProgressPanels::stopRequested, this,
          [this](JobProgressDialog* panel) { askBeforeStopping(panel); });
  connect(&panels_, &DialogProgressPanels::workChanged, this, [this] { refreshControls(); });
}

void TessalineWindow::askBeforeStopping(JobProgressDialog* panel) {
  if (stopQuestion_) return;
  const bool erasing = panel->job() == panels_.runningErase();
  auto* box = new QMessageBox(panel);
  stopQuestion_ = box;
  box->setObjectName(QStringLiteral("stopQuestion"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setIcon(QMessageBox::Warning);
  box->setWindowTitle(QStringLiteral("Tessaline"));
  if (erasing) {
    box->setText(tr("Stop erasing the disc?"));
    box->setInformativeText(tr("A disc whose erase was stopped cannot be used until it is erased again."));
  } else {
    box->setText(tr("Stop writing the session?"));
    box->setInformativeText(tr("The session will not be completed. The disc's earlier sessions stay readable; on a "
                               "CD-R the space already written for this session is lost."));
  }
  auto* keep = box->addButton(erasing ? tr("Keep Erasing") : tr("Keep Burning"), QMessageBox::RejectRole);
  auto* stop = box->addButton(tr("Stop"), QMessageBox::DestructiveRole);
  box->setDefaultButton(keep);
  box->setEscapeButton(keep);
  connect(box, &QMessageBox::finished, this, [this, box, stop, erasing] {
    if (box->clickedButton() != stop) return;
    if (erasing) {
      if (Job* job = panels_.runningErase()) job->cancel();
    } else {
      controller_.cancelBurn();
    }
  });
  box->open();
}

void TessalineWindow::connectController() {
  auto& model = controller_.sessionContentController();
  connect(&controller_.statusController(), &StatusController::contentChanged, this, [this] {
    refreshStatus();
    refreshControls();
  });
  connect(&model, &SessionContentModel::totalChanged, this, [this] {
    refreshNextSession();
    refreshControls();
  });
  connect(&model, &QAbstractItemModel::modelReset, this, [this] { refreshControls(); });
  connect(&model, &QAbstractItemModel::rowsRemoved, this, [this] { refreshControls(); });
  connect(model.selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { refreshControls(); });
  connect(&controller_, &appController::hidePreviousSessionsChanged, this, [this](bool hide) {
    const QSignalBlocker block(hideCheck_);
    hideCheck_->setChecked(hide);
  });
  // A change of the selected writer publishes a status, which refreshes the
  // writer menu; the other writers do not touch it.
  connect(&controller_, &appController::writersChanged, this, [this] { refreshControls(); });
  connect(&controller_, &appController::burnFinished, this, [this] { refreshControls(); });
  connect(&controller_, &appController::sourcesRestored, this, [this](const RestoredSources& sources) {
    if (sources.leftOut.empty()) return;
    QStringList lines;
    for (const auto& [path, why] : sources.leftOut)
      lines << QStringLiteral("%1: %2").arg(displayPath(path), QString::fromStdString(why.message));
    showError(tr("The disc remembers sources that were not put back into the burn list."), lines.join(QLatin1Char('\n')));
  });
  // The erase panel's end refreshes the controls; the controller tells of
  // the end first, while the panel still holds the job.
  connect(&controller_, &appController::eraseFinished, this, [this](bool ok, const QString& message) {
    if (!ok && !message.isEmpty() && !panels_.runningErase()) showError(tr("The disc could not be erased."), message);
  });
}

void TessalineWindow::refreshStatus() {
  const DiscStatusRecord& record = controller_.statusController().content();
  statusText_->setText(record.deviceStatusString.value_or(QString()));
  statusTitle_->setText(record.title.value_or(controller_.theDevice() ? tr("No usable disc") : tr("No writer")));
  // A continued disc keeps its name: the name field offers it. A name the
  // program offered follows the disc in the writer; one the user typed stays.
  const QString current = nameEdit_->text();
  const bool offeredByUs = current.isEmpty() || (offeredName_ && current == *offeredName_);
  if (offeredByUs && !nameEdit_->hasFocus()) {
    const auto offered = controller_.offeredVolumeName();
    const QString next = offered && CDNameFormatter::isAcceptableName(offered->trimmed()) ? offered->trimmed() : QString();
    if (next != current) nameEdit_->setText(next);
    offeredName_ = next.isEmpty() ? std::nullopt : std::optional<QString>(next);
  }
  mountButton_->setVisible(controller_.discNotMounted());
  if (record.spaceFree && record.spaceUsed) {
    const double freeMB = static_cast<double>(*record.spaceFree);
    const double usedMB = static_cast<double>(*record.spaceUsed);
    const double whole = freeMB + usedMB;
    capacityBar_->setEnabled(true);
    capacityBar_->setValue(whole > 0.0 ? static_cast<int>(usedMB / whole * 1000.0) : 0);
    spaceUsage_ = tr("%1 MB used, %2 MB free").arg(QString::number(usedMB, 'f', 1), QString::number(freeMB, 'f', 1));
    const MediumSummary medium = controller_.mediumSummary();
    if (medium.updatesLeft)
      spaceUsage_ += tr(", about %n more update(s)", nullptr, static_cast<int>(*medium.updatesLeft));
  } else {
    capacityBar_->setEnabled(false);
    capacityBar_->setValue(0);
    spaceUsage_.clear();
  }
  refreshNextSession();
  refreshWriterMenu();
  refreshSpeedMenu();
}

// The next session is what the burn list adds; a burn is refused when it is
// more than the free space, and the bar says so beforehand.
void TessalineWindow::refreshNextSession() {
  const DiscStatusRecord& record = controller_.statusController().content();
  if (!record.spaceFree || !record.spaceUsed) {
    capacityBar_->setNextSession(0, true);
    capacityBar_->setToolTip(QString());
    spaceText_->setText(QString());
    return;
  }
  const double freeMB = static_cast<double>(*record.spaceFree);
  const double whole = freeMB + static_cast<double>(*record.spaceUsed);
  const double nextMB = controller_.sessionContentController().sumSizeInMB();
  const bool fits = nextMB <= freeMB;
  capacityBar_->setNextSession(whole > 0.0 ? static_cast<int>(std::ceil(nextMB / whole * 1000.0)) : 0, fits);
  QString space = spaceUsage_;
  if (nextMB > 0.0)
    space += fits ? tr("; the next session takes %1 MB").arg(megabytesText(nextMB))
                  : tr("; the next session needs %1 MB and does not fit").arg(megabytesText(nextMB));
  spaceText_->setText(space);
  capacityBar_->setToolTip(space);
}

// Which controls follow "IsGTZero": Burn needs a non-zero list total (an
// empty list, or sources with nothing new for the disc, have nothing to
// burn); Remove needs a non-zero count of selected rows.
void TessalineWindow::refreshControls() {
  auto& model = controller_.sessionContentController();
  // While a burn or an erase runs, the sheets stand over the window and
  // nothing in it may change what the work uses; quitting stays possible.
  const bool burning = controller_.burnInProgress() || panels_.runningErase() != nullptr;
  centralWidget()->setEnabled(!burning);
  for (const char* name : {"addAction", "sizesAction"})
    if (auto* a = action(name)) a->setEnabled(!burning);
  if (writerMenu_ != nullptr) writerMenu_->setEnabled(!burning);
  const double total = model.sumSizeInMB();
  totalLabel_->setText(tr("Total: %1 MB").arg(megabytesText(total)));

  // The disc must take a session: the status names a title only then (a
  // blank disc, or an open one whose volume is known).
  const DiscStatusRecord& status = controller_.statusController().content();
  const bool discTakesSession = status.title.has_value();
  const bool canBurn = !burning && discTakesSession && isGTZero(controller_, total);
  burnButton_->setEnabled(canBurn);
  burnButton_->setToolTip(discTakesSession || burning ? QString()
                                                      : tr("Insert a blank disc or one that can be continued."));
  if (auto* a = action("burnAction")) a->setEnabled(canBurn);

  const auto selected = static_cast<int>(model.selectionModel()->selectedRows().size());
  const bool canRemove = !burning && isGTZero(controller_, selected);
  removeButton_->setEnabled(canRemove);
  if (auto* a = action("removeAction")) a->setEnabled(canRemove);

  const auto& eraseable = controller_.statusController().content().eraseable;
  const bool canErase = !burning && eraseable.has_value() && *eraseable == QLatin1String("yes");
  eraseButton_->setEnabled(canErase);
  if (auto* a = action("eraseAction")) a->setEnabled(canErase);
}

void TessalineWindow::refreshWriterMenu() {
  const auto writer = controller_.theDevice();
  const bool emulated = writer && writer->isEmulated();
  writerMenu_->menuAction()->setVisible(emulated);
  if (!emulated) return;
  const MediumState state = writer->mediumState();
  const bool idle = !state.busy && !state.transitioning && !controller_.burnInProgress();
  const bool hasDisc = state.present && !state.trayOpen;
  action("insertCDRAction")->setEnabled(idle && !hasDisc);
  action("insertCDRWAction")->setEnabled(idle && !hasDisc);
  action("ejectAction")->setEnabled(idle && hasDisc);
}

void TessalineWindow::refreshSpeedMenu() {
  fillSpeedMenu(speedCombo_, controller_.mediumSummary().writeSpeeds);
}

// Choosing a writer publishes a new status, and the window follows it.
void TessalineWindow::writerChosen() {
  controller_.changeDevice();
  // Show the chosen writer's medium now rather than at its next change.
  if (auto writer = controller_.theDevice()) controller_.deviceStatusChanged(writer);
}

void TessalineWindow::insertBlank(MediumKind kind) {
  const auto writer = controller_.theDevice();
  if (!writer || !writer->isEmulated()) return;
  emulated::MediumSpec spec;
  spec.kind = kind;
  const Status status =
      emulated::insertMedium(emulated::defaultWritersDir(), emulatedWriterName(writer->ioRegistryEntryPath()), spec);
  if (!status) showError(tr("No disc could be inserted."), QString::fromStdString(status.error().message));
}

void TessalineWindow::ejectDisc() {
  const auto writer = controller_.theDevice();
  if (!writer || !writer->isEmulated()) return;
  const auto shelved = emulated::eject(emulated::defaultWritersDir(), emulatedWriterName(writer->ioRegistryEntryPath()));
  if (!shelved) {
    showError(tr("The disc could not be ejected."), QString::fromStdString(shelved.error().message));
    return;
  }
  if (!shelved.value().empty())
    statusBar()->showMessage(tr("The disc is on the shelf as \"%1\".").arg(displayName(shelved.value())), 8000);
}

void TessalineWindow::refreshShelfMenus() {
  shelfMenu_->clear();
  deleteShelfMenu_->clear();
  const auto writer = controller_.theDevice();
  const MediumState state = writer ? writer->mediumState() : MediumState{};
  const bool canInsert = writer && writer->isEmulated() && !state.busy && !state.transitioning &&
                         !(state.present && !state.trayOpen) && !controller_.burnInProgress();
  for (const auto& shelved : emulated::listShelf(emulated::defaultDiscsDir())) {
    const QString name = displayName(shelved.name);
    const QString label = tr("%1 (%2, %n session(s))", nullptr, static_cast<int>(shelved.disc.tracks.size()))
                              .arg(name, QString::fromStdString(emulated::mediumKindText(shelved.disc.kind)).toUpper());
    auto* insert = shelfMenu_->addAction(label);
    insert->setEnabled(canInsert);
    connect(insert, &QAction::triggered, this, [this, disc = shelved.name] { insertShelved(disc); });
    auto* remove = deleteShelfMenu_->addAction(label);
    connect(remove, &QAction::triggered, this, [this, disc = shelved.name] { deleteShelved(disc); });
  }
  shelfMenu_->setEnabled(!shelfMenu_->isEmpty());
  deleteShelfMenu_->setEnabled(!deleteShelfMenu_->isEmpty());
}

void TessalineWindow::insertShelved(const std::string& disc) {
  const auto writer = controller_.theDevice();
  if (!writer || !writer->isEmulated()) return;
  emulated::MediumSpec spec;
  spec.shelvedDisc = disc;
  const Status status =
      emulated::insertMedium(emulated::defaultWritersDir(), emulatedWriterName(writer->ioRegistryEntryPath()), spec);
  if (!status) showError(tr("The disc could not be inserted."), QString::fromStdString(status.error().message));
}

void TessalineWindow::deleteShelved(const std::string& disc) {
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Tessaline"),
                              tr("Delete the disc \"%1\" from the shelf?").arg(displayName(disc)), QMessageBox::NoButton,
                              this);
  box->setObjectName(QStringLiteral("deleteDiscQuestion"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setInformativeText(tr("Everything on it is lost for good."));
  auto* remove = box->addButton(tr("Delete"), QMessageBox::DestructiveRole);
  auto* cancel = box->addButton(QMessageBox::Cancel);
  box->setDefaultButton(cancel);
  box->setEscapeButton(cancel);
  connect(box, &QMessageBox::finished, this, [this, box, remove, disc] {
    if (box->clickedButton() != remove) return;
    if (Status s = emulated::deleteShelvedDisc(emulated::defaultDiscsDir(), disc); !s)
      showError(tr("The disc could not be deleted."), QString::fromStdString(s.error().message));
  });
  box->open();
}

void TessalineWindow::showError(const QString& text, const QString& detail) {
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Tessaline"), text, QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("alert"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setInformativeText(detail);
  box->open();
}

void TessalineWindow::showPreferences() {
  preferencePanel_->show();
  preferencePanel_->raise();
  preferencePanel_->activateWindow();
}

void TessalineWindow::checkForUpdates() {
  // The user asked: this check runs whatever the start-up preference says,
  // and it answers in every case, telling a failed check from a current one.
  if (manualUpdateCheck_ && manualUpdateCheck_->isRunning()) return;
  manualUpdateCheck_ = std::make_unique<UpdateCheck>(updateEndpoint());
  auto found = std::make_shared<bool>(false);
  connect(manualUpdateCheck_.get(), &UpdateCheck::updateAvailable, this, [this, found](int) {
    *found = true;
    controller_.showUpdateAlert();
  });
  connect(manualUpdateCheck_.get(), &UpdateCheck::finished, this, [this, found] {
    if (*found) return;
    const auto answer = manualUpdateCheck_->answer();
    if (answer && *answer > 0)
      showNote("upToDate", tr("Tessaline is up to date."),
               tr("The newest release is %1, and this is release %2.").arg(*answer).arg(UpdateCheck::kOwnRelease));
    else
      showNote("updateCheckFailed", tr("The check for a newer release failed."),
               tr("The release server could not be reached or gave no release number. Check the network "
                  "connection and try again later."));
  });
  manualUpdateCheck_->start();
}

void TessalineWindow::showNote(const char* name, const QString& text, const QString& detail) {
  auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Tessaline"), text, QMessageBox::Ok, this);
  box->setObjectName(QString::fromLatin1(name));
  box->setInformativeText(detail);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void TessalineWindow::showAbout() {
  showNote("aboutBox", tr("Tessaline %1").arg(QApplication::applicationVersion()),
           tr("Keeps a recordable CD up to date with folders on your disk: each burn adds one session with what is "
              "new or newer, and the disc shows the whole tree.\n\nRelease %1.")
               .arg(UpdateCheck::kOwnRelease));
}

void TessalineWindow::showHowUpdatingWorks() {
  auto* box = new QMessageBox(QMessageBox::Information, tr("How Updating a Disc Works"),
                              tr("How updating a disc works"), QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("howItWorks"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setInformativeText(tr(
      "<p>A CD-R or CD-RW is written in sessions. Tessaline never rewrites what is on the disc: each burn adds one "
      "session and leaves the disc open for the next.</p>"
      "<p>Put the folders you want to keep on the disc into the list and press Burn. On a disc written before, "
      "only what is new or newer than the disc's copy goes into the new session; the session also lists the "
      "disc's earlier files, so the disc shows the whole, current tree. The disc's own entries are shown grey.</p>"
      "<p>A file you deleted on your disk stays on the disc: a session only adds. Hide previous sessions shows "
      "only the new session's files.</p>"
      "<p>With \"Remember the sources on the disc\" (Preferences), the disc remembers its folders: insert it again "
      "and they are back in the list, so updating it is one click.</p>"));
  box->open();
}

// --- MainWindow

void TessalineWindow::setBackgroundPattern(const QString& imageName) {
  const QPixmap tile(QStringLiteral(":/images/") + imageName);
  if (tile.isNull()) return;
  QWidget* background = centralWidget();
  QPalette palette = background->palette();
  palette.setBrush(QPalette::Window, QBrush(tile));
  background->setPalette(palette);
  background->setAutoFillBackground(true);
  // The status box keeps a plain, slightly translucent ground so its text reads well.
  if (auto* box = findChild<QFrame*>(QStringLiteral("statusBox"))) {
    QPalette boxPalette = box->palette();
    QColor ground = QApplication::palette().color(QPalette::Base);
    ground.setAlpha(215);
    boxPalette.setColor(QPalette::Window, ground);
    box->setPalette(boxPalette);
  }
}

void TessalineWindow::center() {
  const QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

void TessalineWindow::centerPreferencePanel() {
  const QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  preferencePanel_->adjustSize();
  QRect frame = preferencePanel_->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  preferencePanel_->move(frame.topLeft());
}

void TessalineWindow::registerForDraggedFileNames() { setAcceptDrops(true); }

void TessalineWindow::beep() { QApplication::beep(); }

void TessalineWindow::deselectAllRows() { tableView_->clearSelection(); }

void TessalineWindow::beginOpenPanel(const QString& prompt,
                                     std::function<void(int, std::vector<std::filesystem::path>)> completion) {
  // Files and folders in one choice: the native dialogs can only do one
  // kind at a time, so this is Qt's own dialog, with a list that allows
  // several of either.
  auto* dialog = new SourceChooser(this, tr("Add to the Burn List"));
  dialog->setObjectName(QStringLiteral("openPanel"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setOption(QFileDialog::DontUseNativeDialog, true);
  dialog->setFileMode(QFileDialog::Directory);  // folders selectable; files are shown too (below)
  dialog->setOption(QFileDialog::ShowDirsOnly, false);
  dialog->setLabelText(QFileDialog::Accept, prompt.isEmpty() ? tr("Add") : prompt);
  for (auto* view : dialog->findChildren<QAbstractItemView*>(QStringLiteral("listView")))
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  for (auto* view : dialog->findChildren<QAbstractItemView*>(QStringLiteral("treeView")))
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);

  auto done = std::make_shared<bool>(false);
  auto finish = [completion = std::move(completion), done](int code, std::vector<std::filesystem::path> paths) {
    if (*done) return;
    *done = true;
    completion(code, std::move(paths));
  };
  connect(dialog, &QFileDialog::finished, this, [dialog, finish](int result) mutable {
    std::vector<std::filesystem::path> paths;
    if (result == QDialog::Accepted)
      for (const QString& name : dialog->selectedFiles()) paths.emplace_back(QFile::encodeName(name).toStdString());
    const int code = result == QDialog::Accepted && !paths.empty() ? 1 : 0;
    finish(code, std::move(paths));
  });
  dialog->open();
}

void TessalineWindow::saveFrame() { controller_.preferences().setValue(prefs::mainWindowFrame, saveGeometry()); }

void TessalineWindow::closeWithoutAsking() {
  closeAgreed_ = true;
  close();
}

void TessalineWindow::askBeforeQuittingDuringWork() {
  if (quitQuestionUp_) return;
  quitQuestionUp_ = true;
  const bool erasing = panels_.runningErase() != nullptr;
  const bool writing = panels_.runningBurn() != nullptr;
  // The question stands over the sheet that is up, where the user looks.
  QWidget* over = this;
  if (JobProgressDialog* panel = panels_.runningPanel()) over = panel;
  else if (imaging_.dialog()->isVisible()) over = imaging_.dialog();
  auto* box = new QMessageBox(over);
  box->setObjectName(QStringLiteral("quitDuringWork"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setIcon(QMessageBox::Warning);
  box->setWindowTitle(QStringLiteral("Tessaline"));
  if (erasing) {
    box->setText(tr("The disc is being erased."));
    box->setInformativeText(tr("Quitting now stops the erase and leaves the disc unusable until it is erased again."));
  } else if (writing) {
    box->setText(tr("A session is being written to the disc."));
    box->setInformativeText(
        tr("Quitting now would leave a half-written session on the disc. The earlier sessions stay readable, "
           "but a CD-R loses the space already written."));
  } else {
    box->setText(tr("The next session is being prepared."));
    box->setInformativeText(tr("Nothing has been written to the disc yet. Quitting now abandons this burn."));
  }
  auto* keep = box->addButton(erasing ? tr("Keep Erasing") : tr("Keep Burning"), QMessageBox::RejectRole);
  auto* quit = box->addButton(tr("Quit Anyway"), QMessageBox::DestructiveRole);
  box->setDefaultButton(keep);
  box->setEscapeButton(keep);
  connect(box, &QMessageBox::finished, this, [this, box, quit] {
    quitQuestionUp_ = false;
    if (box->clickedButton() != quit) return;
    controller_.cancelBurn();
    if (Job* job = panels_.runningErase()) job->cancel();
    QTimer::singleShot(0, this, [this] { closeWithoutAsking(); });
  });
  box->open();
}

void TessalineWindow::closeEvent(QCloseEvent* event) {
  const bool working = controller_.burnInProgress() || panels_.runningErase() != nullptr;
  if (working && !closeAgreed_) {
    event->ignore();
    askBeforeQuittingDuringWork();
    return;
  }
  saveFrame();
  preferencePanel_->close();
  QMainWindow::closeEvent(event);
}

void TessalineWindow::dragEnterEvent(QDragEnterEvent* event) { dragMoveEvent(event); }

void TessalineWindow::dragMoveEvent(QDragMoveEvent* event) {
  const DragInfo info = dragInfoFromMimeData(event->mimeData());
  if (controller_.draggingEntered(info) == 1) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void TessalineWindow::dropEvent(QDropEvent* event) {
  const DragInfo info = dragInfoFromMimeData(event->mimeData());
  if (controller_.draggingEntered(info) != 1) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  controller_.performDragOperation(info);
}

}  // namespace tessaline::gui
