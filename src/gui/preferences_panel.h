#pragma once
// The preferences panel: one check box per switch, worded as what it does, read from and written to
// the preferences as the user changes them (nothing is cached).

#include <QDialog>

#include "app/preferences.h"

class QCheckBox;

namespace tessaline::gui {

class PreferencesPanel : public QDialog {
  Q_OBJECT
 public:
  PreferencesPanel(Preferences& preferences, QWidget* parent);
  // The box of one key, e.g. "resolveDisabled".
  QCheckBox* box(const char* key) const;
  // Reads every switch again.
  void reload();
  // The text shown for a switch, and whether its box is ticked when the
  // key is off (a key that turns a step off shown as the step).
  static QString label(const char* key);
  static bool shownInverted(const char* key);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  Preferences& preferences_;
  std::vector<std::pair<const char*, QCheckBox*>> boxes_;
};

}  // namespace tessaline::gui
