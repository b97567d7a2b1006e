#include "app/preferences.h"

#include <QSettings>

#include <memory>

namespace tessaline {
namespace {

std::unique_ptr<QSettings> open(const QString& iniFile) {
  if (iniFile.isEmpty()) return std::make_unique<QSettings>(QStringLiteral("Tessaline"), QStringLiteral("Tessaline"));
  return std::make_unique<QSettings>(iniFile, QSettings::IniFormat);
}

}  // namespace

Preferences::Preferences() = default;
Preferences::Preferences(QString iniFile) : iniFile_(std::move(iniFile)) {}

bool readsAsTrue(const QVariant& value) {
  // The settings file hands back text; a bool set in this run reads as "true"
  // or "false", and an empty value as off.
  const QString text = value.toString().trimmed().toLower();
  if (text == QLatin1String("true") || text == QLatin1String("yes")) return true;
  bool isNumber = false;
  const long long n = text.toLongLong(&isNumber);
  return isNumber && n != 0;
}

bool Preferences::boolForKey(const char* key) const {
  const auto value = valueForKey(key);
  return value.has_value() && readsAsTrue(*value);
}

std::optional<QVariant> Preferences::valueForKey(const char* key) const {
  auto settings = open(iniFile_);
  const QString k = QString::fromUtf8(key);
  if (!settings->contains(k)) return std::nullopt;
  return settings->value(k);
}

void Preferences::setValue(const char* key, const QVariant& value) {
  auto settings = open(iniFile_);
  settings->setValue(QString::fromUtf8(key), value);
  settings->sync();
}

void Preferences::removeValue(const char* key) {
  auto settings = open(iniFile_);
  settings->remove(QString::fromUtf8(key));
  settings->sync();
}

bool Preferences::isKnownKey(const QString& key) {
  if (key == QLatin1String(prefs::mainWindowFrame)) return true;
  for (const char* k : kPreferenceSwitches)
    if (key == QLatin1String(k)) return true;
  return false;
}

}  // namespace tessaline
