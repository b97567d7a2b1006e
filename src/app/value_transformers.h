#pragma once
// The two value transformers the burn list's bindings use, and the registry
// that finds them by name. One-way: neither has a reverse transformation.
// No QtGui here: the colour is a name the window maps to its palette.

#include <QHash>
#include <QString>
#include <QVariant>

#include <functional>

namespace tessaline {

inline constexpr char kIsGTZeroTransformerName[] = "IsGTZero";
inline constexpr char kPermanentToColourTransformerName[] = "PermanentToColourTransformer";

// A non-zero test despite its name: 0.0 gives the integer 0, anything else
// (negative numbers too) the integer 1.
class IsGTZeroVT {
 public:
  static QVariant transformedValue(const QVariant& value);
  static constexpr bool allowsReverseTransformation() { return false; }
};

enum class TextColour { Black, Grey };

// "gray" or "black": names QColor understands (gray is 50% grey).
QString colourName(TextColour colour);

// The text colour of a burn-list row from its item's "isPermanent": an
// integer value of 1 is grey, anything else black.
class PermanentToColourTransformer {
 public:
  static TextColour colour(const QVariant& value);
  // The colour's name as a QString (see colourName).
  static QVariant transformedValue(const QVariant& value);
  static constexpr bool allowsReverseTransformation() { return false; }
};

// How a value reads as a number, the way the bindings read it: numbers as
// they are (integer value: truncated toward zero, clamped to int), strings by
// their leading number (white space, an optional sign, digits; otherwise 0),
// booleans as 0 or 1, nothing as 0.
double doubleValue(const QVariant& value);
int integerValue(const QVariant& value);

// Transformers by name, owned by the controller.
class ValueTransformerRegistry {
 public:
  using Transformer = std::function<QVariant(const QVariant&)>;

  // A second registration under a name replaces the first.
  void registerTransformer(const QString& name, Transformer transformer);
  bool contains(const QString& name) const;
  // An unknown name gives an invalid QVariant.
  QVariant transform(const QString& name, const QVariant& value) const;

 private:
  QHash<QString, Transformer> transformers_;
};

}  // namespace tessaline
