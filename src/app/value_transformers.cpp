#include "app/value_transformers.h"

#include <QByteArray>

#include <charconv>
#include <climits>
#include <cmath>
#include <limits>

#include "app/update_check.h"

namespace tessaline {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The leading decimal number of a text, 0 when there is none.
double leadingDouble(const QByteArray& text) {
  const char* p = text.constData();
  const char* end = p + text.size();
  while (p != end && isSpace(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  // No second sign after the first, and no "inf"/"nan" words.
  if (p == end || !((*p >= '0' && *p <= '9') || *p == '.')) return 0.0;
  double result = 0.0;
  const auto [ptr, ec] = std::from_chars(p, end, result, std::chars_format::fixed | std::chars_format::scientific);
  if (ptr == p) return 0.0;
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves the result alone: a negative exponent underflowed,
    // anything else overflowed.
    bool negativeExponent = false;
    for (const char* q = p; q != ptr; ++q) {
      if ((*q == 'e' || *q == 'E') && q + 1 != ptr && q[1] == '-') negativeExponent = true;
    }
    result = negativeExponent ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return negative ? -result : result;
}

int clampToInt(double d) {
  if (std::isnan(d)) return 0;
  const double t = std::trunc(d);
  if (t >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (t <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(t);
}

int clampToInt(long long n) {
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

}  // namespace

double doubleValue(const QVariant& value) {
  if (!value.isValid() || value.isNull()) return 0.0;
  switch (value.typeId()) {
    case QMetaType::Bool: return value.toBool() ? 1.0 : 0.0;
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong: return value.toDouble();
    case QMetaType::QString: return leadingDouble(value.toString().toUtf8());
    case QMetaType::QByteArray: return leadingDouble(value.toByteArray());
    default: break;
  }
  bool ok = false;
  const double d = value.toDouble(&ok);
  return ok ? d : 0.0;
}

int integerValue(const QVariant& value) {
  if (!value.isValid() || value.isNull()) return 0;
  switch (value.typeId()) {
    case QMetaType::Bool: return value.toBool() ? 1 : 0;
    case QMetaType::Double:
    case QMetaType::Float: return clampToInt(value.toDouble());
    case QMetaType::ULongLong:
    case QMetaType::ULong: {
      const qulonglong u = value.toULongLong();
      return u > static_cast<qulonglong>(INT_MAX) ? INT_MAX : static_cast<int>(u);
    }
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long: return clampToInt(value.toLongLong());
    case QMetaType::QString: return intValue(value.toString().toUtf8());
    case QMetaType::QByteArray: return intValue(value.toByteArray());
    default: break;
  }
  bool ok = false;
  const long long n = value.toLongLong(&ok);
  return ok ? clampToInt(n) : 0;
}

QVariant IsGTZeroVT::transformedValue(const QVariant& value) {
  return QVariant(doubleValue(value) == 0.0 ? 0 : 1);
}

QString colourName(TextColour colour) {
  return colour == TextColour::Grey ? QStringLiteral("gray") : QStringLiteral("black");
}

TextColour PermanentToColourTransformer::colour(const QVariant& value) {
  return integerValue(value) == 1 ? TextColour::Grey : TextColour::Black;
}

QVariant PermanentToColourTransformer::transformedValue(const QVariant& value) {
  return QVariant(colourName(colour(value)));
}

void ValueTransformerRegistry::registerTransformer(const QString& name, Transformer transformer) {
  transformers_.insert(name, std::move(transformer));
}

bool ValueTransformerRegistry::contains(const QString& name) const { return transformers_.contains(name); }

QVariant ValueTransformerRegistry::transform(const QString& name, const QVariant& value) const {
  const auto it = transformers_.constFind(name);
  if (it == transformers_.constEnd() || !*it) return {};
  return (*it)(value);
}

}  // namespace tessaline
