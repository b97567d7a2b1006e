#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <climits>
#include <limits>

#include "app/value_transformers.h"

namespace tessaline {
namespace {

int nonZero(const QVariant& v) {
  const QVariant out = IsGTZeroVT::transformedValue(v);
  EXPECT_EQ(out.typeId(), QMetaType::Int);
  return out.toInt();
}

TEST(IsGTZeroVT, IsANonZeroTestNotAGreaterThanTest) {
  EXPECT_EQ(nonZero(0), 0);
  EXPECT_EQ(nonZero(0.0), 0);
  EXPECT_EQ(nonZero(-0.0), 0);
  EXPECT_EQ(nonZero(0.0000001), 1);
  EXPECT_EQ(nonZero(-1), 1);
  EXPECT_EQ(nonZero(-0.5), 1);
  EXPECT_EQ(nonZero(700.0f), 1);
  EXPECT_EQ(nonZero(std::numeric_limits<double>::quiet_NaN()), 1);
}

TEST(IsGTZeroVT, ReadsTextByItsLeadingNumberAndNothingAsZero) {
  EXPECT_EQ(nonZero(QVariant()), 0);
  EXPECT_EQ(nonZero(QStringLiteral("0")), 0);
  EXPECT_EQ(nonZero(QStringLiteral("  0.000")), 0);
  EXPECT_EQ(nonZero(QStringLiteral("abc")), 0);
  EXPECT_EQ(nonZero(QStringLiteral("--1")), 0);
  EXPECT_EQ(nonZero(QStringLiteral("1e-400")), 0);  // underflows to zero
  EXPECT_EQ(nonZero(QStringLiteral(" 0.25 MB")), 1);
  EXPECT_EQ(nonZero(QStringLiteral("-3")), 1);
  EXPECT_EQ(nonZero(QStringLiteral("+.5")), 1);
  EXPECT_EQ(nonZero(QStringLiteral("1e999")), 1);
  EXPECT_EQ(nonZero(QByteArray("2")), 1);
  EXPECT_EQ(nonZero(false), 0);
  EXPECT_EQ(nonZero(true), 1);
}

TEST(PermanentToColourTransformer, PermanentRowsAreGreyEverythingElseBlack) {
  using T = PermanentToColourTransformer;
  EXPECT_EQ(T::colour(QStringLiteral("1")), TextColour::Grey);
  EXPECT_EQ(T::colour(1), TextColour::Grey);
  EXPECT_EQ(T::colour(QByteArray("1")), TextColour::Grey);
  EXPECT_EQ(T::colour(QStringLiteral(" 1")), TextColour::Grey);  // integer reading skips white space
  EXPECT_EQ(T::colour(1.9), TextColour::Grey);                  // truncated, as an integer reading does

  EXPECT_EQ(T::colour(QStringLiteral("0")), TextColour::Black);
  EXPECT_EQ(T::colour(0), TextColour::Black);
  EXPECT_EQ(T::colour(2), TextColour::Black);
  EXPECT_EQ(T::colour(5), TextColour::Black);
  EXPECT_EQ(T::colour(-1), TextColour::Black);
  EXPECT_EQ(T::colour(QStringLiteral("x")), TextColour::Black);
  EXPECT_EQ(T::colour(QStringLiteral("11")), TextColour::Black);
  EXPECT_EQ(T::colour(QVariant()), TextColour::Black);
  // A huge number must not wrap round to 1.
  EXPECT_EQ(T::colour(QVariant::fromValue<qlonglong>(4294967297LL)), TextColour::Black);
  EXPECT_EQ(T::colour(QStringLiteral("4294967297")), TextColour::Black);

  EXPECT_EQ(T::transformedValue(QStringLiteral("1")).toString(), QStringLiteral("gray"));
  EXPECT_EQ(T::transformedValue(QStringLiteral("0")).toString(), QStringLiteral("black"));
}

TEST(IntegerValue, ClampsInsteadOfWrapping) {
  EXPECT_EQ(integerValue(QVariant::fromValue<qulonglong>(ULLONG_MAX)), INT_MAX);
  EXPECT_EQ(integerValue(QVariant::fromValue<qlonglong>(LLONG_MIN)), INT_MIN);
  EXPECT_EQ(integerValue(1e300), INT_MAX);
  EXPECT_EQ(integerValue(-2.7), -2);
  EXPECT_EQ(integerValue(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(ValueTransformerRegistry, FindsTransformersByTheirRegisteredNames) {
  ValueTransformerRegistry registry;
  EXPECT_FALSE(registry.contains(QString::fromLatin1(kIsGTZeroTransformerName)));
  EXPECT_FALSE(registry.transform(QStringLiteral("IsGTZero"), 5).isValid());

  registry.registerTransformer(QString::fromLatin1(kIsGTZeroTransformerName), &IsGTZeroVT::transformedValue);
  registry.registerTransformer(QString::fromLatin1(kPermanentToColourTransformerName),
                               &PermanentToColourTransformer::transformedValue);
  EXPECT_EQ(registry.transform(QStringLiteral("IsGTZero"), -1).toInt(), 1);
  EXPECT_EQ(registry.transform(QStringLiteral("IsGTZero"), 0.0).toInt(), 0);
  EXPECT_EQ(registry.transform(QStringLiteral("PermanentToColourTransformer"), QStringLiteral("1")).toString(),
            QStringLiteral("gray"));
  // Names are exact.
  EXPECT_FALSE(registry.transform(QStringLiteral("isgtzero"), 5).isValid());

  // A second registration replaces the first; registries are independent.
  registry.registerTransformer(QStringLiteral("IsGTZero"), [](const QVariant&) { return QVariant(42); });
  EXPECT_EQ(registry.transform(QStringLiteral("IsGTZero"), 0).toInt(), 42);
  ValueTransformerRegistry other;
  EXPECT_FALSE(other.contains(QStringLiteral("IsGTZero")));
}

}  // namespace
}  // namespace tessaline
