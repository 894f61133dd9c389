// The mathematics of a calibration without a meter: the correction through the
// point table against the poller's own curve, its inverse at every segment,
// the new table from measured points and its refusals, the maximum permissible
// error and the verdicts at their boundaries, the uncertainty and the
// statistics of a series.
#include "CalibrationMath.h"
#include "ClbThread.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

CoefficientTables TablesOf(const CoefficientSet& c)
{
    return CoefficientTables{c.K, c.Obr, c.Gmax};
}

// A meter calibrated on a stand: K the fractions it measured, Obr the
// reference (its error from −3 % to +4 % over the range).
CoefficientTables Calibrated()
{
    CoefficientTables t;
    t.Gmax = 12.5f;
    t.K = {0.0f, 26214.0f, 0.0103f, 0.0246f, 0.0512f, 0.0985f, 0.2040f, 0.3970f, 0.6120f, 0.8110f};
    t.Obr = {0.0f, 26214.0f, 0.01f, 0.025f, 0.05f, 0.1f, 0.2f, 0.4f, 0.6f, 0.8f};
    return t;
}

// --- The correction against the poller -------------------------------------------------

struct PollerTable {
    const char* name;
    CoefficientSet set;
};

void PrintTo(const PollerTable& t, std::ostream* os)
{
    *os << t.name;
}

CoefficientSet SetOf(const CoefficientTables& t, float k0, float ku)
{
    CoefficientSet c;
    c.K = t.K;
    c.Obr = t.Obr;
    c.Gmax = t.Gmax;
    c.K[0] = k0;
    c.K[1] = ku;
    return c;
}

class AgreesWithThePoller : public ::testing::TestWithParam<PollerTable> {};

// The flow of a КВТ-64 through the raw fraction and the correction equals the
// poller's flow to the last bit, over the whole range, both signs, every point
// and its neighbours.
TEST_P(AgreesWithThePoller, OverTheWholeRange)
{
    const CoefficientSet& c = GetParam().set;
    const CoefficientTables t = TablesOf(c);
    std::vector<float> readings;
    for (int i = -3000; i <= 26000; ++i)
        readings.push_back(static_cast<float>(i) * 1e-4f);
    for (int i = 2; i <= 9; ++i)
        for (float g : {c.K[i], -c.K[i]}) {
            // The reading whose fraction is the point itself (K0 and Ku undone),
            // and the singles on either side of it.
            const float at = static_cast<float>(g * 26214.0 / c.K[1] + c.K[0]);
            readings.insert(readings.end(), {std::nextafter(at, -10.0f), at, std::nextafter(at, 10.0f)});
        }
    int differ = 0;
    std::ostringstream first;
    for (float g : readings) {
        const float poller = CalibrationCurveFlow(g, c);
        const float ours = static_cast<float>(CorrectedFraction(RawReadingFraction(g, t), t) * c.Gmax);
        if (!(poller == ours || (std::isnan(poller) && std::isnan(ours)))) {
            if (differ++ == 0) first << "G = " << g << ": poller " << poller << ", correction " << ours;
        }
    }
    EXPECT_EQ(differ, 0) << first.str();
}

INSTANTIATE_TEST_SUITE_P(
    Tables, AgreesWithThePoller,
    ::testing::Values(PollerTable{"Calibrated", SetOf(Calibrated(), 0.0f, 26214.0f)},
                      PollerTable{"WithZeroAndGain", SetOf(Calibrated(), 131.0f, 26738.0f)},
                      // A table whose points fall: values between them stay uncorrected in the poller.
                      PollerTable{"FallingPoints",
                                  [] {
                                      CoefficientSet c = SetOf(Calibrated(), 0.0f, 26214.0f);
                                      c.K[6] = 0.03f;
                                      c.Obr[8] = 0.3f;
                                      return c;
                                  }()}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The inverse ---------------------------------------------------------------------------

// The correction is linear between points, so the middle of a segment of the
// corrected fractions comes from the middle of the segment of the uncorrected
// ones, below the first point from half the first point, beyond the last from
// the middle toward (2, 2), and the line toward (2, 2) goes on beyond it.
TEST(UncorrectedFraction, InvertsEverySegment)
{
    const CoefficientTables t = Calibrated();
    auto x = [&](int j) { return static_cast<double>(t.K[static_cast<std::size_t>(j + 2)]); };
    auto y = [&](int j) { return static_cast<double>(t.Obr[static_cast<std::size_t>(j + 2)]); };
    struct Case {
        std::string where;
        double corrected, uncorrected;
    };
    std::vector<Case> cases = {
        {"zero", 0.0, 0.0},
        {"below the first point", y(0) / 2, x(0) / 2},
        {"beyond the last point", (y(7) + 2) / 2, (x(7) + 2) / 2},
        {"at (2, 2)", 2.0, 2.0},
        {"beyond (2, 2)", 3.0, x(7) + (2 - x(7)) * (3 - y(7)) / (2 - y(7))},
        {"reverse flow in a segment", -(y(2) + y(3)) / 2, -(x(2) + x(3)) / 2},
    };
    for (int j = 0; j <= 7; ++j)
        cases.push_back({"at point " + std::to_string(j + 1), y(j), x(j)});
    for (int j = 0; j <= 6; ++j)
        cases.push_back({"segment " + std::to_string(j + 1), (y(j) + y(j + 1)) / 2, (x(j) + x(j + 1)) / 2});
    for (const Case& c : cases) {
        double found = NaN;
        std::string error;
        ASSERT_TRUE(UncorrectedFraction(c.corrected, t, found, error)) << c.where << ": " << error;
        EXPECT_NEAR(found, c.uncorrected, 1e-15) << c.where;
    }
}

TEST(UncorrectedFraction, RoundTripsWithTheCorrection)
{
    const CoefficientTables t = Calibrated();
    std::string error;
    for (int i = -2500; i <= 2500; ++i) {
        const double v = i * 1e-3;
        double x = NaN;
        ASSERT_TRUE(UncorrectedFraction(CorrectedFraction(v, t), t, x, error)) << error;
        EXPECT_NEAR(x, v, 1e-14) << "from the uncorrected fraction " << v;
        ASSERT_TRUE(UncorrectedFraction(v, t, x, error)) << error;
        EXPECT_NEAR(CorrectedFraction(x, t), v, 1e-14) << "from the corrected fraction " << v;
    }
}

struct Spoilt {
    const char* name;
    void (*spoil)(CoefficientTables&);
    const char* said;
};

void PrintTo(const Spoilt& s, std::ostream* os)
{
    *os << s.name;
}

class RefusedInversion : public ::testing::TestWithParam<Spoilt> {};

TEST_P(RefusedInversion, SaysWhichPoint)
{
    CoefficientTables t = Calibrated();
    GetParam().spoil(t);
    double x = 12345;
    std::string error;
    EXPECT_FALSE(UncorrectedFraction(0.3, t, x, error));
    EXPECT_EQ(error, std::string("Коррекцию по таблице точек нельзя обратить: ") + GetParam().said);
    EXPECT_EQ(x, 12345) << "nothing is given back";
}

INSTANTIATE_TEST_SUITE_P(Tables, RefusedInversion,
                         ::testing::Values(Spoilt{"FlatMeasuredPoints", [](CoefficientTables& t) { t.K[5] = t.K[4]; },
                                                  "K точки 4 = 0.0512 не больше K точки 3 = 0.0512"},
                                           Spoilt{"FallingReferencePoints",
                                                  [](CoefficientTables& t) { t.Obr[7] = 0.09f; },
                                                  "Obr точки 6 = 0.09 не больше Obr точки 5 = 0.2"},
                                           Spoilt{"ZeroFirstPoint", [](CoefficientTables& t) { t.K[2] = 0.0f; },
                                                  "K точки 1 = 0 не больше нуля"},
                                           Spoilt{"LastPointAtTwiceGmax", [](CoefficientTables& t) { t.Obr[9] = 2.0f; },
                                                  "Obr точки 8 = 2 не меньше 2 (двух Gmax)"},
                                           Spoilt{"PointNotANumber", [](CoefficientTables& t) { t.K[8] = NAN; },
                                                  "K точки 7 = nan не число"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UncorrectedFraction, RefusesAFlowThatIsNotANumber)
{
    double x = 0;
    std::string error;
    EXPECT_FALSE(UncorrectedFraction(NaN, Calibrated(), x, error));
    EXPECT_EQ(error, "Исправленный расход не число");
}

// --- The new table ---------------------------------------------------------------------------

// A meter that reads 2 % high at small flows and 3 % low at large ones: the
// new table holds what it measured and what the reference gave, and then
// corrects each measured fraction to the reference.
TEST(NewPointTable, PutsTheMeasuredPairsInPlaceOfThePoints)
{
    CoefficientTables current = Calibrated();
    current.K[0] = 131.0f;
    current.K[1] = 26738.0f;
    const double flows[8] = {0.125, 0.3125, 0.625, 1.25, 2.5, 5.0, 7.5, 10.0};
    std::vector<MeasuredPoint> points;
    for (int p = 0; p < 8; ++p)
        points.push_back({flows[p] / 12.5 * (1.02 - 0.05 * p / 7.0), flows[p]});
    CoefficientTables table;
    std::string error;
    ASSERT_TRUE(NewPointTable(current, points, table, error)) << error;
    EXPECT_EQ(table.K[0], 131.0f);
    EXPECT_EQ(table.K[1], 26738.0f);
    EXPECT_EQ(table.Obr[0], current.Obr[0]);
    EXPECT_EQ(table.Obr[1], current.Obr[1]);
    EXPECT_EQ(table.Gmax, 12.5f);
    for (int p = 0; p < 8; ++p) {
        EXPECT_EQ(table.K[p + 2], static_cast<float>(points[p].MeterFraction)) << "point " << p + 1;
        EXPECT_EQ(table.Obr[p + 2], static_cast<float>(flows[p] / 12.5)) << "point " << p + 1;
        EXPECT_NEAR(CorrectedFraction(points[p].MeterFraction, table) * 12.5, flows[p], flows[p] * 1e-6)
            << "point " << p + 1 << " reads the reference after the write";
    }
}

struct RefusedTable {
    const char* name;
    void (*spoil)(std::vector<MeasuredPoint>&, CoefficientTables&);
    const char* said;
};

void PrintTo(const RefusedTable& r, std::ostream* os)
{
    *os << r.name;
}

class RefusesTheNewTable : public ::testing::TestWithParam<RefusedTable> {};

TEST_P(RefusesTheNewTable, WithTheReason)
{
    CoefficientTables current = Calibrated();
    std::vector<MeasuredPoint> points;
    for (std::size_t p = 0; p < 8; ++p)
        points.push_back({current.K[p + 2] * 1.01, current.Obr[p + 2] * 12.5});
    GetParam().spoil(points, current);
    CoefficientTables table = Calibrated();
    table.K[3] = 0.5f; // a mark: the refused table leaves it alone
    std::string error;
    EXPECT_FALSE(NewPointTable(current, points, table, error));
    EXPECT_EQ(error, GetParam().said);
    EXPECT_EQ(table.K[3], 0.5f);
}

INSTANTIATE_TEST_SUITE_P(
    Results, RefusesTheNewTable,
    ::testing::Values(
        RefusedTable{"SevenPoints", [](std::vector<MeasuredPoint>& p, CoefficientTables&) { p.pop_back(); },
                     "Для новой таблицы нужно 8 точек, измерено 7"},
        RefusedTable{"NoGmax", [](std::vector<MeasuredPoint>&, CoefficientTables& t) { t.Gmax = 0.0f; },
                     "Gmax = 0: новую таблицу не построить"},
        RefusedTable{"MeterFlatBetweenTwoPoints",
                     [](std::vector<MeasuredPoint>& p, CoefficientTables&) { p[5].MeterFraction = p[4].MeterFraction; },
                     "Новая таблица точек отвергнута: K точки 6 = 0.20604 не больше K точки 5 = 0.20604"},
        // Two means that differ in the last places are one single in the meter.
        RefusedTable{"MeansOfOneSingle",
                     [](std::vector<MeasuredPoint>& p, CoefficientTables&) {
                         p[2].MeterFraction = p[1].MeterFraction * (1 + 1e-12);
                     },
                     "Новая таблица точек отвергнута: K точки 3 = 0.024845999 не больше K точки 2 = 0.024845999"},
        RefusedTable{"ReferenceFallsBack",
                     [](std::vector<MeasuredPoint>& p, CoefficientTables&) { p[7].ReferenceFlow = 7.0; },
                     "Новая таблица точек отвергнута: Obr точки 8 = 0.56 не больше Obr точки 7 = 0.6"},
        RefusedTable{"ReferenceBeyondTwiceGmax",
                     [](std::vector<MeasuredPoint>& p, CoefficientTables&) { p[7].ReferenceFlow = 26.0; },
                     "Новая таблица точек отвергнута: Obr точки 8 = 2.08 не меньше 2 (двух Gmax)"},
        RefusedTable{"MeterStoodStillAtPoint1",
                     [](std::vector<MeasuredPoint>& p, CoefficientTables&) { p[0].MeterFraction = 0; },
                     "Новая таблица точек отвергнута: K точки 1 = 0 не больше нуля"},
        RefusedTable{"NoSamplesAtPoint4",
                     [](std::vector<MeasuredPoint>& p, CoefficientTables&) { p[3].ReferenceFlow = NaN; },
                     "Новая таблица точек отвергнута: Obr точки 4 = nan не число"},
        RefusedTable{"BeyondTheRangeOfSingles",
                     [](std::vector<MeasuredPoint>& p, CoefficientTables&) { p[7].MeterFraction = 1e300; },
                     "Новая таблица точек отвергнута: K точки 8 = inf не число"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Error, accuracy class, verdict ---------------------------------------------------------

TEST(ErrorPct, AgainstTheReference)
{
    EXPECT_DOUBLE_EQ(ErrorPct(10.25, 10.0), 2.5);
    EXPECT_DOUBLE_EQ(ErrorPct(9.75, 10.0), -2.5);
    EXPECT_TRUE(std::isnan(ErrorPct(1.0, 0.0))) << "no reference flow, no error";
    EXPECT_TRUE(std::isnan(ErrorPct(1.0, -1.0)));
}

struct Mpe {
    int accuracyClass;
    double qpOverQ, mpe;
};

TEST(MaxPermissibleErrorPct, ByClassUpToItsCap)
{
    const Mpe cases[] = {
        {1, 1, 1.01}, {1, 10, 1.1}, {1, 250, 3.5}, {1, 249, 3.49}, {1, 1000, 3.5},
        {2, 1, 2.02}, {2, 10, 2.2}, {2, 150, 5.0}, {2, 149, 4.98}, {2, 1000, 5.0},
        {3, 1, 3.05}, {3, 10, 3.5}, {3, 40, 5.0},  {3, 39, 4.95},  {3, 1000, 5.0},
    };
    for (const Mpe& c : cases)
        EXPECT_DOUBLE_EQ(MaxPermissibleErrorPct(c.accuracyClass, 12.5 / c.qpOverQ, 12.5), c.mpe)
            << "class " << c.accuracyClass << ", qp/q = " << c.qpOverQ;
    EXPECT_TRUE(std::isnan(MaxPermissibleErrorPct(1, 0.0, 12.5)));
    EXPECT_TRUE(std::isnan(MaxPermissibleErrorPct(2, 1.0, NaN)));
    EXPECT_THROW(MaxPermissibleErrorPct(0, 1.0, 12.5), std::invalid_argument);
    EXPECT_THROW(MaxPermissibleErrorPct(4, 1.0, 12.5), std::invalid_argument);
}

struct Judged {
    double e, u, mpe;
    Verdict verdict;
};

TEST(Judge, GuardedAcceptanceAtTheBoundaries)
{
    const Judged cases[] = {
        {1.5, 0.5, 2.0, Verdict::Pass},  // |E| + U = MPE
        {-1.5, 0.5, 2.0, Verdict::Pass}, // the sign does not count
        {1.5, 0.5000001, 2.0, Verdict::Undetermined},
        {2.5, 0.5, 2.0, Verdict::Undetermined}, // |E| − U = MPE
        {-2.5000001, 0.5, 2.0, Verdict::Fail},
        {2.0, 0.0, 2.0, Verdict::Pass}, // no uncertainty: E = MPE passes
        {2.0000001, 0.0, 2.0, Verdict::Fail},
        {NaN, 0.5, 2.0, Verdict::Undetermined}, // no reference flow
        {0.0, NaN, 2.0, Verdict::Undetermined}, // no samples
        {0.0, 0.5, NaN, Verdict::Undetermined},
        {0.5, -1.0, 2.0, Verdict::Undetermined}, // an uncertainty below zero is none to trust
    };
    for (const Judged& c : cases)
        EXPECT_EQ(VerdictText(Judge(c.e, c.u, c.mpe)), std::string(VerdictText(c.verdict)))
            << "E " << c.e << ", U " << c.u << ", MPE " << c.mpe;
    EXPECT_STREQ(VerdictText(Verdict::Pass), "годен");
    EXPECT_STREQ(VerdictText(Verdict::Fail), "не годен");
    EXPECT_STREQ(VerdictText(Verdict::Undetermined), "не определено");
}

TEST(MeterPasses, OnlyWhenEveryPointPasses)
{
    EXPECT_TRUE(MeterPasses({Verdict::Pass, Verdict::Pass}));
    EXPECT_FALSE(MeterPasses({Verdict::Pass, Verdict::Undetermined}));
    EXPECT_FALSE(MeterPasses({Verdict::Fail, Verdict::Pass}));
    EXPECT_FALSE(MeterPasses({})) << "no point judged";
}

// --- Uncertainty and statistics -------------------------------------------------------------

SampleStats StatsWith(std::size_t n, double cvPct)
{
    SampleStats s;
    s.N = n;
    s.Mean = 10;
    s.CvPct = cvPct;
    return s;
}

TEST(ExpandedUncertaintyPct, CombinesTheStatedOneWithRepeatability)
{
    // Stated 0.6 % (k = 2): 0.3 % standard; the meter's CV 1.6 % over 16
    // samples: 0.4 %; together 0.5 %, expanded 1 %.
    EXPECT_DOUBLE_EQ(ExpandedUncertaintyPct(0.6, StatsWith(16, 0.0), StatsWith(16, 1.6)), 1.0);
    EXPECT_DOUBLE_EQ(ExpandedUncertaintyPct(0.6, StatsWith(16, 1.6), StatsWith(16, 0.0)), 1.0);
    EXPECT_DOUBLE_EQ(ExpandedUncertaintyPct(DefaultReferenceUncertaintyPct, StatsWith(1, 0.0), StatsWith(1, 0.0)), 0.2)
        << "single values add nothing to the stated uncertainty";
    EXPECT_TRUE(std::isnan(ExpandedUncertaintyPct(0.2, StatsWith(0, NaN), StatsWith(16, 0.1))));
    EXPECT_TRUE(std::isnan(ExpandedUncertaintyPct(0.2, StatsWith(16, 0.1), StatsWith(16, NaN)))) << "mean 0";
}

std::vector<Sample> Timed(const std::vector<double>& values)
{
    std::vector<Sample> s;
    for (std::size_t i = 0; i < values.size(); ++i)
        s.push_back({0.25 * static_cast<double>(i), values[i]});
    return s;
}

struct Stats {
    const char* name;
    std::vector<double> values;
    SampleStats expected;
};

TEST(StatsOf, OfASeries)
{
    const Stats cases[] = {
        {"eight values", {2, 4, 4, 4, 5, 5, 7, 9}, {8, 5, std::sqrt(32.0 / 7), 2, 9, std::sqrt(32.0 / 7) * 20}},
        {"one value", {-3}, {1, -3, 0, -3, -3, 0}},
        {"far from zero", {1e9 + 1, 1e9 + 2, 1e9 + 3}, {3, 1e9 + 2, 1, 1e9 + 1, 1e9 + 3, 100 / (1e9 + 2)}},
        {"mean zero", {-1, 1}, {2, 0, std::sqrt(2.0), -1, 1, NaN}},
    };
    for (const Stats& c : cases) {
        const SampleSeries s = SeriesOf(Timed(c.values));
        EXPECT_EQ(s.Samples.size(), c.values.size()) << c.name << ": every sample kept";
        EXPECT_EQ(s.Samples.back().Time, 0.25 * static_cast<double>(c.values.size() - 1)) << c.name;
        EXPECT_EQ(s.Stats.N, c.expected.N) << c.name;
        EXPECT_DOUBLE_EQ(s.Stats.Mean, c.expected.Mean) << c.name;
        EXPECT_DOUBLE_EQ(s.Stats.Sigma, c.expected.Sigma) << c.name;
        EXPECT_EQ(s.Stats.Min, c.expected.Min) << c.name;
        EXPECT_EQ(s.Stats.Max, c.expected.Max) << c.name;
        if (std::isnan(c.expected.CvPct))
            EXPECT_TRUE(std::isnan(s.Stats.CvPct)) << c.name;
        else
            EXPECT_NEAR(s.Stats.CvPct, c.expected.CvPct, c.expected.CvPct * 1e-12) << c.name;
    }
    const SampleStats none = StatsOf({});
    EXPECT_EQ(none.N, 0u);
    EXPECT_TRUE(std::isnan(none.Mean) && std::isnan(none.Sigma) && std::isnan(none.CvPct));
}

} // namespace
