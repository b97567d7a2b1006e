#include "gui/preferences_panel.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include <cstring>

namespace tessaline::gui {

namespace {

// How a switch is shown. A key that turns a step off is shown as the step
// itself, ticked while it runs: the stored key keeps its meaning.
struct SwitchText {
  const char* key;
  const char* label;
  bool inverted;
  const char* explanation;  // one line under the box, or null
};

constexpr SwitchText kSwitchTexts[] = {
    {prefs::disableUpdateCheck, QT_TRANSLATE_NOOP("PreferencesPanel", "Check for a newer release at start-up"), true,
     nullptr},
    {prefs::disableIncrementalUpdating,
     QT_TRANSLATE_NOOP("PreferencesPanel", "Add only what is new or newer to a disc written before"), true, nullptr},
    {prefs::storeBurnConfiguration, QT_TRANSLATE_NOOP("PreferencesPanel", "Remember the sources on the disc"), false,
     QT_TRANSLATE_NOOP("PreferencesPanel",
                       "The disc keeps its list of folders, so inserting it again brings them back: one click updates it.")},
    {prefs::resolveDisabled, QT_TRANSLATE_NOOP("PreferencesPanel", "Burn what symbolic links point to"), true, nullptr},
    {prefs::disableSplitForks, QT_TRANSLATE_NOOP("PreferencesPanel", "Keep resource forks in side files"), true,
     nullptr},
    {prefs::disableVerification, QT_TRANSLATE_NOOP("PreferencesPanel", "Verify the disc after burning"), true, nullptr},
    {prefs::compareContents,
     QT_TRANSLATE_NOOP("PreferencesPanel", "Compare contents with the disc's copies (slower, misses nothing)"), false,
     nullptr},
};

const SwitchText* textFor(const char* key) {
  for (const auto& t : kSwitchTexts)
    if (std::strcmp(t.key, key) == 0) return &t;
  return nullptr;
}

}  // namespace

QString PreferencesPanel::label(const char* key) {
  const SwitchText* t = textFor(key);
  return t != nullptr ? tr(t->label) : QString::fromUtf8(key);
}

bool PreferencesPanel::shownInverted(const char* key) {
  const SwitchText* t = textFor(key);
  return t != nullptr && t->inverted;
}

PreferencesPanel::PreferencesPanel(Preferences& preferences, QWidget* parent)
    : QDialog(parent), preferences_(preferences) {
  setObjectName(QStringLiteral("preferencePanel"));
  setWindowTitle(tr("Tessaline Preferences"));
  auto* layout = new QVBoxLayout(this);
  for (const char* key : kPreferenceSwitches) {
    const SwitchText* text = textFor(key);
    auto* box = new QCheckBox(label(key), this);
    box->setObjectName(QString::fromUtf8(key));
    box->setToolTip(QString::fromUtf8(key));
    const bool inverted = shownInverted(key);
    connect(box, &QCheckBox::toggled, this, [this, key, inverted](bool on) { preferences_.setValue(key, on != inverted); });
    boxes_.emplace_back(key, box);
    layout->addWidget(box);
    if (text != nullptr && text->explanation != nullptr) {
      auto* why = new QLabel(tr(text->explanation), this);
      why->setObjectName(QString::fromUtf8(key) + QStringLiteral("Explanation"));
      why->setWordWrap(true);
      why->setContentsMargins(22, 0, 0, 4);
      QFont small = why->font();
      small.setPointSizeF(small.pointSizeF() * 0.9);
      why->setFont(small);
      layout->addWidget(why);
    }
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
    b->setChecked(preferences_.boolForKey(key) != shownInverted(key));
  }
}

void PreferencesPanel::showEvent(QShowEvent* event) {
  // Another program (tessaline-cli config) may have changed them.
  reload();
  QDialog::showEvent(event);
}

}  // namespace tessaline::gui
