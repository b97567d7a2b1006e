#include "gui/preferences_panel.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include <cstring>

namespace tessaline::gui {

QString PreferencesPanel::label(const char* key) {
  const std::string k = key;
  if (k == prefs::disableUpdateCheck) return tr("Do not check for a newer release at start-up");
  if (k == prefs::resolveDisabled) return tr("Burn symbolic links as links (do not follow them)");
  if (k == prefs::disableSplitForks) return tr("Do not write resource forks into side files");
  if (k == prefs::storeBurnConfiguration) return tr("Remember the sources on the disc");
  if (k == prefs::disableVerification) return tr("Do not verify the disc after burning");
  if (k == prefs::disableIncrementalUpdating) return tr("Always copy sources in full (no incremental update)");
  if (k == prefs::compareContents) return tr("Compare contents with the disc's copies (slower, misses nothing)");
  return QString::fromUtf8(key);
}

PreferencesPanel::PreferencesPanel(Preferences& preferences, QWidget* parent)
    : QDialog(parent), preferences_(preferences) {
  setObjectName(QStringLiteral("preferencePanel"));
  setWindowTitle(tr("Tessaline Preferences"));
  auto* layout = new QVBoxLayout(this);
  for (const char* key : kPreferenceSwitches) {
    auto* box = new QCheckBox(label(key), this);
    box->setObjectName(QString::fromUtf8(key));
    box->setToolTip(QString::fromUtf8(key));
    connect(box, &QCheckBox::toggled, this, [this, key](bool on) { preferences_.setValue(key, on); });
    boxes_.emplace_back(key, box);
    layout->addWidget(box);
  }
  auto* note = new QLabel(tr("Changes apply to the next burn."), this);
  note->setEnabled(false);
  layout->addWidget(note);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
  layout->addWidget(buttons);
  reload();
  adjustSize();
}

QCheckBox* PreferencesPanel::box(const char* key) const {
  for (const auto& [k, b] : boxes_)
    if (std::strcmp(k, key) == 0) return b;
  return nullptr;
}

void PreferencesPanel::reload() {
  for (const auto& [key, b] : boxes_) {
    const QSignalBlocker block(b);  // reading is not writing
    b->setChecked(preferences_.boolForKey(key));
  }
}

void PreferencesPanel::showEvent(QShowEvent* event) {
  // Another program (tessaline-cli config) may have changed them.
  reload();
  QDialog::showEvent(event);
}

}  // namespace tessaline::gui
