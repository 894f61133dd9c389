// The calibration curve without a window: the points of the three variants,
// the zero divisors drawn at 0, the scales, the title, the picture's name and
// the value marks.
#include "CalibrationRun.h"
#include "Curve.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

CoefficientSet Identity()
{
    CoefficientSet c;
    for (int i = 2; i <= 9; ++i) c.K[i] = c.Obr[i] = 0.1f * static_cast<float>(i - 1);
    return c;
}

std::vector<int> Xs(const std::vector<CurvePoint>& points)
{
    std::vector<int> xs;
    for (const auto& p : points) xs.push_back(p.X);
    return xs;
}

TEST(Curve, EqualTablesGiveEightPointsAtZero)
{
    const auto points = CurvePoints(Identity(), CurveVariant::Plain);
    EXPECT_EQ(Xs(points), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    for (const auto& p : points) EXPECT_EQ(p.Y, 0.0) << "X = " << p.X;
}

TEST(Curve, PlainDeviationInPerCent)
{
    CoefficientSet c = Identity();
    c.Obr[5] = 0.05f;
    c.K[5] = 0.051f;
    const auto points = CurvePoints(c, CurveVariantOf(1));
    EXPECT_NEAR(points[3].Y, 2.0, 1e-5);
    EXPECT_EQ(points[3].X, 4);
}

TEST(Curve, KuScalesByTheFactorOfThePointsSpread)
{
    CoefficientSet c = Identity();
    // c = Obr[9] / (K[9] - K[2]) = 0.8 / (0.8 - 0.4) = 2: every point twice its reference.
    c.K[2] = 0.4f;
    ASSERT_EQ(CurveVariantOf(14), CurveVariant::KU);
    const auto points = CurvePoints(c, CurveVariant::KU);
    ASSERT_EQ(points.size(), 8u);
    EXPECT_NEAR(points[0].Y, (2.0 * 0.4 / 0.1 - 1) * 100, 1e-3);
    EXPECT_NEAR(points[7].Y, 100.0, 1e-3);
}

TEST(Curve, GzuDeviatesFromTheLineThroughPointsTwoAndEightCutToFourDecimals)
{
    CoefficientSet c = Identity();
    // The line maps K onto Obr with a = 1, b = 0; points 3 and 4 deviate by ±1.23456 %.
    c.K[4] = static_cast<float>(c.Obr[4] * 1.0123456);
    c.K[5] = static_cast<float>(c.Obr[5] * (1 - 0.0123456));
    c.K[2] = 5.0f; // point 1 is not plotted and does not matter
    ASSERT_EQ(CurveVariantOf(15), CurveVariant::GZU);
    const auto points = CurvePoints(c, CurveVariant::GZU);
    EXPECT_EQ(Xs(points), (std::vector<int>{3, 4, 5, 6, 7, 8}));
    EXPECT_DOUBLE_EQ(points[0].Y, 1.2345);
    EXPECT_DOUBLE_EQ(points[1].Y, -1.2345);
    EXPECT_NEAR(points[5].Y, 0.0, 1e-4) << "the line passes through point 8";

    // A line that is not the identity: Obr = 2K + 0.01 for points 2 and 8.
    CoefficientSet d;
    for (int i = 2; i <= 9; ++i) {
        d.K[i] = 0.05f * static_cast<float>(i);
        d.Obr[i] = 2 * d.K[i] + 0.01f;
    }
    for (const auto& p : CurvePoints(d, CurveVariant::GZU)) EXPECT_NEAR(p.Y, 0.0, 1e-3) << "X = " << p.X;
}

TEST(Curve, TruncationGoesTowardZero)
{
    EXPECT_DOUBLE_EQ(TruncateToFourDecimals(1.23456), 1.2345);
    EXPECT_DOUBLE_EQ(TruncateToFourDecimals(-1.23456), -1.2345);
    EXPECT_DOUBLE_EQ(TruncateToFourDecimals(0.00009), 0.0);
    EXPECT_EQ(TruncateToFourDecimals(1e40), 0.0) << "beyond a float: no infinite point";
}

// Zero divisors and values without a finite result: each case names the
// variant, what is broken and which X must lie at 0; every point is finite.
struct ZeroCase {
    const char* name;
    CurveVariant variant;
    void (*breakIt)(CoefficientSet&);
    std::vector<int> atZero;
};

class CurveZeroDivisors : public ::testing::TestWithParam<ZeroCase> {};

TEST_P(CurveZeroDivisors, DrawTheAffectedPointsAtZero)
{
    CoefficientSet c = Identity();
    for (int i = 2; i <= 9; ++i) c.K[i] *= 1.1f; // every point 10 % off
    GetParam().breakIt(c);
    const auto points = CurvePoints(c, GetParam().variant);
    for (const auto& p : points) {
        ASSERT_TRUE(std::isfinite(p.Y)) << "X = " << p.X;
        const bool zero = std::find(GetParam().atZero.begin(), GetParam().atZero.end(), p.X) != GetParam().atZero.end();
        if (zero) EXPECT_EQ(p.Y, 0.0) << "X = " << p.X;
        else EXPECT_NE(p.Y, 0.0) << "X = " << p.X;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CurveZeroDivisors,
    ::testing::Values(
        ZeroCase{"PlainZeroReference", CurveVariant::Plain, [](CoefficientSet& c) { c.Obr[6] = 0; }, {5}},
        ZeroCase{"KuZeroReference", CurveVariant::KU, [](CoefficientSet& c) { c.Obr[3] = 0; }, {2}},
        ZeroCase{"KuEqualFirstAndLastMeasured", CurveVariant::KU, [](CoefficientSet& c) { c.K[2] = c.K[9]; },
                 {1, 2, 3, 4, 5, 6, 7, 8}},
        ZeroCase{"GzuEqualMeasuredAtTwoAndEight", CurveVariant::GZU, [](CoefficientSet& c) { c.K[3] = c.K[9]; },
                 {3, 4, 5, 6, 7, 8}},
        ZeroCase{"GzuZeroReference", CurveVariant::GZU,
                 [](CoefficientSet& c) {
                     c.Obr[5] = 0;
                     for (int i = 4; i <= 8; ++i) c.K[i] *= 1.05f; // points 3..7 off the line
                 },
                 {4, 8}},
        ZeroCase{"PlainNotANumber", CurveVariant::Plain,
                 [](CoefficientSet& c) { c.K[4] = std::nanf(""); }, {3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Curve, ScalesFollowTheLargestMagnitude)
{
    const auto s = CurveScalesFor({{1, 2.0}, {2, -5.0}, {3, 1.0}});
    EXPECT_DOUBLE_EQ(s.YMin, -6.0);
    EXPECT_DOUBLE_EQ(s.YMax, 6.0);
    EXPECT_DOUBLE_EQ(s.YStep, 0.3);
    EXPECT_DOUBLE_EQ(s.XMin, 0.5);
    EXPECT_DOUBLE_EQ(s.XMax, 8.5);
    EXPECT_DOUBLE_EQ(s.XStep, 1.0);

    // All points at 0: the axis of m = 1, zero in the middle.
    const auto flat = CurveScalesFor(CurvePoints(Identity(), CurveVariant::Plain));
    EXPECT_DOUBLE_EQ(flat.YMin, -1.2);
    EXPECT_DOUBLE_EQ(flat.YMax, 1.2);
    EXPECT_DOUBLE_EQ(flat.YStep, 0.06);
}

TEST(Curve, TitleAndPictureNameComeFromTheSlot)
{
    DeviceSlot s;
    s.SetTypeCode(1);
    s.SetSerialText("12345678");
    s.SetChannel(1);
    EXPECT_EQ(CurveTitle(s), "Кривая калибровки КВТ-64 №12345678");
    EXPECT_EQ(CurveFileName(s), "КВТ-64_12345678_1.wmf");
    s.SetTypeCode(15);
    s.SetChannel(2);
    EXPECT_EQ(CurveFileName(s), "ГЗУ-08_12345678_2.wmf");
}

TEST(Curve, ValueMarksUseGroupingAndAtMostThreeDecimals)
{
    const std::pair<double, const char*> cases[] = {
        {0, "0"},          {2.0000004, "2"},  {1.2345, "1.235"},   {-1.2345, "-1.235"}, {0.5, "0.5"},
        {-0.0004, "0"},    {1234.5, "1,234.5"}, {-1234567.891, "-1,234,567.891"}, {999.9996, "1,000"},
        {12.3, "12.3"},
    };
    for (const auto& [v, text] : cases) EXPECT_EQ(FormatCurveValue(v), text) << v;
}

// A run's deviation: a pass without figures at a point leaves it out; the
// limits are the as-left ones where measured; the scales cover both passes
// and the limits, over the run's own count of points.
TEST(Curve, RunDeviationKeepsThePointsEachPassMeasured)
{
    CalibrationResult r;
    auto pass = [](double error, double mpe) {
        PassPoint p;
        p.ErrorPct = error;
        p.MpePct = mpe;
        return p;
    };
    r.Points.resize(3);
    r.Points[0].AsFound = pass(4.0, 3.0);
    r.Points[0].AsLeft = pass(0.1, 2.5);
    r.Points[1].AsFound = pass(-6.0, 3.0); // stopped before its as-left figures
    r.Points[2].AsFound = pass(NAN, 3.0);  // a reference of zero
    const RunDeviation d = RunDeviationOf(r);
    EXPECT_EQ(d.PointCount, 3);
    ASSERT_EQ(d.AsFound.size(), 2u);
    EXPECT_EQ(d.AsFound[1].X, 2);
    EXPECT_EQ(d.AsFound[1].Y, -6.0);
    ASSERT_EQ(d.AsLeft.size(), 1u);
    EXPECT_EQ(d.AsLeft[0].Y, 0.1);
    ASSERT_EQ(d.Mpe.size(), 3u);
    EXPECT_EQ(d.Mpe[0].Y, 2.5);
    const CurveScales s = RunDeviationScales(d);
    EXPECT_DOUBLE_EQ(s.YMax, 7.2);
    EXPECT_DOUBLE_EQ(s.YMin, -7.2);
    EXPECT_DOUBLE_EQ(s.XMax, 3.5);
    EXPECT_TRUE(RunDeviationOf(CalibrationResult{}).Empty());
}

} // namespace
