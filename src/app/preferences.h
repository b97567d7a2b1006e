#pragma once
// The per-user preferences (QSettings, organisation and application
// "Tessaline"). Nothing is registered: an absent switch reads as false. Every
// key is read when it is needed, so a change between two operations takes
// effect at the second.

#include <QString>
#include <QVariant>

#include <optional>

namespace tessaline {

namespace prefs {
inline constexpr char disableUpdateCheck[] = "disableUpdateCheck";
inline constexpr char resolveDisabled[] = "resolveDisabled";
inline constexpr char disableSplitForks[] = "disableSplitForks";
inline constexpr char storeBurnConfiguration[] = "storeBurnConfiguration";
inline constexpr char disableVerification[] = "disableVerification";
inline constexpr char disableIncrementalUpdating[] = "disableIncrementalUpdating";
// Compares each file's contents with the disc's copy instead of its size and
// date: nothing is missed, at the cost of reading both.
inline constexpr char compareContents[] = "compareContents";
inline constexpr char mainWindowFrame[] = "NSWindow Frame mainWindow";
}  // namespace prefs

// The switches, in the order the preferences panel shows them.
inline constexpr const char* kPreferenceSwitches[] = {
    prefs::disableUpdateCheck,  prefs::resolveDisabled,           prefs::disableSplitForks,
    prefs::storeBurnConfiguration, prefs::disableVerification, prefs::disableIncrementalUpdating,
    prefs::compareContents};

class Preferences {
 public:
  // The user's store (~/.config/Tessaline/Tessaline.conf).
  Preferences();
  // A store in the given file (tests).
  explicit Preferences(QString iniFile);

  // A stored true, 1, "1", "true" or "yes" (any case) reads as set.
  bool boolForKey(const char* key) const;
  std::optional<QVariant> valueForKey(const char* key) const;
  void setValue(const char* key, const QVariant& value);
  void removeValue(const char* key);

  static bool isKnownKey(const QString& key);

 private:
  QString iniFile_;  // empty: the user's store
};

// How a stored value reads as a switch.
bool readsAsTrue(const QVariant& value);

}  // namespace tessaline
