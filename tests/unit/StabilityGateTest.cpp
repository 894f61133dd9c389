// The stability gate on synthetic streams of timed samples (steady, entering
// late, an excursion, the edge of the tolerance, drifting, noisy, out of
// tolerance, timing out), what it shows while it waits, its settings, and the
// targets of a run from a meter's table or a profile file.
#include "StabilityGate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Target = 10.0;

using Flow = std::function<double(double)>;

// +1 and −1 on alternate samples.
double Alternate(double t)
{
    return static_cast<long>(std::floor(t * 4)) % 2 == 0 ? 1.0 : -1.0;
}

// The stand's sampling: the reference every 0.25 s from `from`, the meter
// 0.125 s after it, until the gate ends the point or the time passes `until`.
void Feed(StabilityGate& gate, const Flow& reference, const Flow& meter, double from, double until)
{
    for (double t = from; t <= until && !gate.Finished(); t += 0.25) {
        gate.AddReference(t, reference(t));
        if (!gate.Finished()) gate.AddMeter(t + 0.125, meter(t + 0.125));
    }
}

struct Stream {
    const char* name;
    Flow reference, meter;
    GateState state;
    double endsAt; // the time the point ends; not a number: later than the window, before the timeout
};

void PrintTo(const Stream& s, std::ostream* os)
{
    *os << s.name;
}

class GateOnAStream : public ::testing::TestWithParam<Stream> {};

TEST_P(GateOnAStream, TakesThePointOrTimesOut)
{
    const Stream& s = GetParam();
    StabilityGate gate;
    gate.Begin(Target, 0.0);
    Feed(gate, s.reference, s.meter, 0.0, 200.0);
    ASSERT_EQ(gate.State(), s.state);
    const GateFigures f = gate.Figures();
    if (std::isnan(s.endsAt)) {
        EXPECT_GT(f.ElapsedS, 15.0);
        EXPECT_LT(f.ElapsedS, 120.0);
    } else {
        EXPECT_EQ(f.ElapsedS, s.endsAt);
    }
    if (s.state == GateState::TimedOut) {
        EXPECT_FALSE(gate.Taken());
        return;
    }
    ASSERT_TRUE(gate.Taken());
    const TakenPoint& p = *gate.Taken();
    EXPECT_FALSE(p.ByHand);
    EXPECT_EQ(p.Time, f.ElapsedS);
    EXPECT_EQ(p.Target, Target);
    for (const SampleSeries* series : {&p.Reference, &p.Meter}) {
        ASSERT_GE(series->Samples.size(), 2u);
        EXPECT_GE(series->Samples.front().Time, p.Time - 10.0) << "only the last window";
        EXPECT_LE(series->Samples.back().Time, p.Time);
        EXPECT_LT(series->Stats.CvPct, 0.5);
        EXPECT_EQ(series->Stats.N, series->Samples.size());
    }
    for (const Sample& r : p.Reference.Samples)
        EXPECT_LE(std::fabs(r.Value - Target), 0.5) << "at " << r.Time;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, GateOnAStream,
    ::testing::Values(
        // In tolerance from the start: settled at 5 s, a full window at 15 s.
        Stream{"SteadyFlow", [](double t) { return Target * (1 + 0.001 * Alternate(t)); }, [](double) { return 10.25; },
               GateState::Stable, 15.0},
        Stream{"EntersTheToleranceAt3s", [](double t) { return t < 3 ? 8.0 : Target; }, [](double) { return 10.25; },
               GateState::Stable, 18.0},
        // One reading out of tolerance starts the settling again.
        Stream{"OneExcursionAt10s", [](double t) { return t == 10.0 ? 12.0 : Target; }, [](double) { return 10.25; },
               GateState::Stable, 25.25},
        Stream{"AtTheEdgeOfTheTolerance", [](double) { return 10.5; }, [](double) { return 10.25; }, GateState::Stable,
               15.0},
        Stream{"JustBeyondTheEdge", [](double) { return 10.500001; }, [](double) { return 10.25; }, GateState::TimedOut,
               120.0},
        Stream{"ReferenceSwingsThroughTheTolerance",
               [](double t) { return Target * (1 + 0.06 * std::sin(2 * std::numbers::pi * t / 20)); },
               [](double) { return 10.25; }, GateState::TimedOut, 120.0},
        Stream{"MeterDriftsWithoutEnd", [](double) { return Target; }, [](double t) { return 10 + 0.03 * t; },
               GateState::TimedOut, 120.0},
        Stream{"MeterDriftDiesAway", [](double) { return Target; },
               [](double t) { return 10 * (1 + 0.2 * std::exp(-t / 4)); }, GateState::Stable, NaN},
        Stream{"NoisyReference", [](double t) { return Target * (1 + 0.01 * Alternate(t)); },
               [](double) { return 10.25; }, GateState::TimedOut, 120.0},
        Stream{"NoisyMeter", [](double) { return Target; }, [](double t) { return 10.25 * (1 + 0.006 * Alternate(t)); },
               GateState::TimedOut, 120.0},
        Stream{"MeterNotRead", [](double) { return Target; }, [](double) { return NaN; }, GateState::TimedOut, 120.0}),
    [](const auto& info) { return std::string(info.param.name); });

// What the window shows on the way: grey before the tolerance, amber while
// settling and filling the window, green with the point; the point holds the
// samples of the window, each with its time.
TEST(StabilityGate, ShowsItsStateAndFiguresOnTheWay)
{
    StabilityGate gate;
    gate.Begin(Target, 100.0);
    const Flow reference = [](double t) { return t < 103 ? 8.0 : Target; };
    const Flow meter = [](double) { return 10.25; };
    Feed(gate, reference, meter, 100.0, 102.75);
    GateFigures f = gate.Figures();
    EXPECT_EQ(f.State, GateState::NotAtPoint);
    EXPECT_EQ(f.LastReference, 8.0);
    EXPECT_EQ(f.TimeInToleranceS, 0.0);
    EXPECT_EQ(f.ReferenceCvPct, 0.0);
    Feed(gate, reference, meter, 103.0, 110.0);
    f = gate.Figures();
    EXPECT_EQ(f.State, GateState::Settling);
    EXPECT_EQ(f.TimeInToleranceS, 7.125) << "until the meter sample after 110 s";
    EXPECT_EQ(f.ElapsedS, 10.125);
    EXPECT_GT(f.ReferenceCvPct, 5.0) << "the window still holds the readings before the tolerance";
    EXPECT_EQ(f.MeterCvPct, 0.0);
    Feed(gate, reference, meter, 110.25, 200.0);
    EXPECT_EQ(gate.State(), GateState::Stable);
    const TakenPoint& p = *gate.Taken();
    EXPECT_EQ(p.Time, 118.0);
    ASSERT_EQ(p.Reference.Samples.size(), 41u) << "108 s to 118 s every 0.25 s";
    EXPECT_EQ(p.Reference.Samples.front().Time, 108.0);
    ASSERT_EQ(p.Meter.Samples.size(), 40u) << "108.125 s to 117.875 s";
    EXPECT_EQ(p.Meter.Samples.front().Time, 108.125);
    EXPECT_EQ(p.Reference.Stats.Mean, Target);
    EXPECT_DOUBLE_EQ(p.Meter.Stats.Mean, 10.25);
    EXPECT_EQ(gate.ReferenceSamples().size(), 73u) << "every sample since the start of the point";

    // Samples after the point ended change nothing; the next point starts afresh.
    gate.AddReference(130.0, 1.0);
    EXPECT_EQ(gate.State(), GateState::Stable);
    gate.Begin(20.0, 130.0);
    EXPECT_EQ(gate.State(), GateState::NotAtPoint);
    EXPECT_FALSE(gate.Taken());
    EXPECT_TRUE(gate.ReferenceSamples().empty());
}

TEST(StabilityGate, TimeoutSaysWhatItSaw)
{
    StabilityGate gate;
    gate.Begin(Target, 0.0);
    Feed(
        gate, [](double) { return 10.75; }, [](double) { return 10.25; }, 0.0, 200.0);
    ASSERT_EQ(gate.State(), GateState::TimedOut);
    EXPECT_EQ(GateTimeoutText(3, gate.Figures(), gate.Settings()),
              "Точка 3 не стала стабильной за 120 с: цель 10, образцовый расход 10.75 (7.5 % от цели, допуск ±5 %), "
              "в допуске 0 с из нужных 15 с, КВ образцового 0 %, КВ прибора 0 % (граница 0.5 %)");
}

TEST(StabilityGate, SettingsOfItsOwn)
{
    GateSettings s;
    s.TolerancePct = 25; // 10 ± 2.5
    s.SettleS = 0;
    s.WindowS = 2;
    s.CvPct = 2;
    s.PointTimeoutS = 30;
    StabilityGate gate(s);
    gate.Begin(Target, 0.0);
    Feed(
        gate, [](double t) { return 12.5 + 0.125 * Alternate(t); }, [](double) { return 10.25; }, 0.0, 60.0);
    EXPECT_EQ(gate.State(), GateState::TimedOut) << "12.625 is beyond 12.5";
    gate.Begin(Target, 100.0);
    Feed(
        gate, [](double t) { return 12.25 + 0.125 * Alternate(t); }, [](double) { return 10.25; }, 100.0, 200.0);
    EXPECT_EQ(gate.State(), GateState::Stable);
    EXPECT_EQ(gate.Figures().ElapsedS, 2.0);
}

// A line that falls silent: the time still passes.
TEST(StabilityGate, TimesOutWithoutSamples)
{
    StabilityGate gate;
    gate.Begin(Target, 5.0);
    gate.Advance(124.5);
    EXPECT_EQ(gate.State(), GateState::NotAtPoint);
    gate.Advance(125.0);
    EXPECT_EQ(gate.State(), GateState::TimedOut);
    EXPECT_TRUE(std::isnan(gate.Figures().LastReference));
    EXPECT_FALSE(gate.TakeByHand()) << "nothing to take after the timeout";
}

// One reading in a window shows no scatter, and is no evidence of a steady meter.
TEST(StabilityGate, OneMeterReadingPerWindowIsNotEnough)
{
    StabilityGate gate;
    gate.Begin(Target, 0.0);
    for (double t = 0; t <= 130 && !gate.Finished(); t += 0.25) {
        gate.AddReference(t, Target);
        if (std::fmod(t, 12.0) == 0) gate.AddMeter(t + 0.125, 10.25);
        if (t == 61.0) { // the window holds the reading at 60.125 s alone
            EXPECT_TRUE(std::isnan(gate.Figures().MeterCvPct));
        }
    }
    EXPECT_EQ(gate.State(), GateState::TimedOut);
}

TEST(StabilityGate, TakenByHandOverTheLastWindow)
{
    StabilityGate gate;
    gate.Begin(Target, 0.0);
    EXPECT_FALSE(gate.TakeByHand()) << "no samples yet";
    Feed(
        gate, [](double t) { return Target * (1 + 0.01 * Alternate(t)); }, [](double) { return 10.25; }, 0.0, 30.0);
    EXPECT_EQ(gate.State(), GateState::Settling);
    const auto p = gate.TakeByHand();
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->ByHand);
    EXPECT_EQ(p->Reference.Samples.size(), 40u) << "20.25 s to 30 s";
    EXPECT_NEAR(p->Reference.Stats.CvPct, 1.0, 0.02);
    EXPECT_TRUE(gate.Finished());
    EXPECT_TRUE(gate.Taken());
}

TEST(StabilityGate, TimeGoesOnlyForward)
{
    StabilityGate gate;
    EXPECT_THROW(gate.AddReference(0.0, Target), std::invalid_argument) << "before the start of a point";
    gate.Begin(Target, 10.0);
    EXPECT_THROW(gate.AddMeter(9.0, Target), std::invalid_argument);
    gate.AddReference(11.0, Target);
    gate.AddMeter(11.0, Target);
    EXPECT_THROW(gate.AddReference(10.5, Target), std::invalid_argument);
    EXPECT_THROW(gate.AddReference(NaN, Target), std::invalid_argument);
    EXPECT_THROW(gate.Begin(0.0, 20.0), std::invalid_argument) << "no flow to aim at";
}

TEST(CheckGateSettings, RefusesBoundsThatCanNeverBeMet)
{
    struct Case {
        void (*set)(GateSettings&);
        const char* said; // empty: accepted
    };
    const Case cases[] = {
        {[](GateSettings&) {}, ""},
        {[](GateSettings& s) { s.SettleS = 0; }, ""},
        {[](GateSettings& s) { s.PointTimeoutS = 15; }, ""},
        {[](GateSettings& s) { s.TolerancePct = 0; }, "Допуск расхода: нужно число больше нуля, задано 0"},
        {[](GateSettings& s) { s.WindowS = -1; }, "Окно усреднения: нужно число больше нуля, задано -1"},
        {[](GateSettings& s) { s.CvPct = NaN; },
         "Граница коэффициента вариации: нужно число больше нуля, задано нет данных"},
        {[](GateSettings& s) { s.SettleS = -0.5; }, "Время успокоения: нужно число не меньше нуля, задано -0.5"},
        {[](GateSettings& s) { s.PointTimeoutS = 14.5; },
         "Время ожидания точки (14.5 с) меньше времени успокоения и окна усреднения вместе (15 с): ни одна точка "
         "не станет стабильной"},
    };
    for (const Case& c : cases) {
        GateSettings s;
        c.set(s);
        std::string error;
        EXPECT_EQ(CheckGateSettings(s, error), *c.said == 0) << c.said;
        EXPECT_EQ(error, c.said);
        if (*c.said) {
            EXPECT_THROW(StabilityGate{s}, std::invalid_argument);
        }
    }
}

// --- Targets ------------------------------------------------------------------------------

CoefficientTables Table()
{
    CoefficientTables t;
    t.Gmax = 12.5f;
    t.Obr = {0.0f, 1.0f, 0.01f, 0.025f, 0.05f, 0.1f, 0.2f, 0.4f, 0.6f, 0.8f};
    return t;
}

TEST(TargetsFromTable, TheReferenceFlowsInIncreasingOrder)
{
    CoefficientTables t = Table();
    std::swap(t.Obr[4], t.Obr[8]); // a table out of order still gives its flows in order
    std::vector<double> flows;
    std::string error;
    ASSERT_TRUE(TargetsFromTable(t, flows, error)) << error;
    ASSERT_EQ(flows.size(), 8u);
    const float obr[] = {0.01f, 0.025f, 0.05f, 0.1f, 0.2f, 0.4f, 0.6f, 0.8f};
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(flows[i], static_cast<double>(obr[i]) * 12.5) << i;

    struct Refused {
        void (*spoil)(CoefficientTables&);
        const char* said;
    };
    const Refused refused[] = {
        {[](CoefficientTables& t) { t.Gmax = 0; }, "Gmax = 0 не больше нуля"},
        {[](CoefficientTables& t) { t.Obr[4] = -0.05f; }, "Obr точки 3 = -0.05 не больше нуля"},
        {[](CoefficientTables& t) { t.Obr[9] = 0.025f; }, "Obr точек 2 и 8 совпадают (0.025)"},
    };
    for (const Refused& r : refused) {
        CoefficientTables spoilt = Table();
        r.spoil(spoilt);
        flows = {1.0};
        EXPECT_FALSE(TargetsFromTable(spoilt, flows, error));
        EXPECT_EQ(error, std::string("Точки расхода из таблицы Obr не построить: ") + r.said);
        EXPECT_EQ(flows, std::vector<double>{1.0}) << "left as it was";
    }
}

struct Profile {
    const char* name;
    std::string text;
    std::vector<double> flows;
    const char* said; // empty: read
};

void PrintTo(const Profile& p, std::ostream* os)
{
    *os << p.name;
}

class ProfileText : public ::testing::TestWithParam<Profile> {};

TEST_P(ProfileText, IsReadOrRefusedByLine)
{
    const Profile& p = GetParam();
    std::vector<double> flows = {99.0};
    std::string error;
    EXPECT_EQ(ParseProfile(p.text, flows, error), *p.said == 0);
    EXPECT_EQ(error, *p.said ? std::string("Неверный профиль: ") + p.said : "");
    EXPECT_EQ(flows, *p.said ? std::vector<double>{99.0} : p.flows);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ProfileText,
    ::testing::Values(
        Profile{"FlowsInTheOrderGiven", "5\n0.125\n2.5e1\n", {5, 0.125, 25}, ""},
        Profile{"CommentsBlanksAndLineEnds", "# стенд 3\r\n\r\n 0.5 # точка 1\r\n\t1.25\t\r2\n", {0.5, 1.25, 2}, ""},
        Profile{"ByteOrderMark",
                "\xEF\xBB\xBF"
                "1.5\n",
                {1.5},
                ""},
        Profile{
            "DecimalComma", "1.5\n# второй\n1,5\n", {}, "строка 3: «1,5» не число (десятичный разделитель — точка)"},
        Profile{"Word", "1\nмного\n", {}, "строка 2: «много» не число"},
        Profile{"TwoFlowsOnALine", "1 2\n", {}, "строка 1: «1 2» не число"},
        Profile{"NotANumber", "nan\n", {}, "строка 1: «nan» не число"},
        Profile{"ZeroFlow", "1\n0\n", {}, "строка 2: расход 0 не больше нуля"},
        Profile{"ReverseFlow", "-1\n", {}, "строка 1: расход -1 не больше нуля"},
        Profile{"OnlyComments", "# пусто\n\n", {}, "в профиле нет ни одного расхода"},
        Profile{"Empty", "", {}, "в профиле нет ни одного расхода"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadProfile, NamesTheFile)
{
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "profile-test";
    std::filesystem::create_directories(dir);
    const std::string good = (dir / "good.txt").string(), bad = (dir / "bad.txt").string();
    std::ofstream(good) << "1.25\n2.5\n";
    std::ofstream(bad) << "1.25\nx\n";
    std::vector<double> flows;
    std::string error;
    ASSERT_TRUE(ReadProfile(good, flows, error)) << error;
    EXPECT_EQ(flows, (std::vector<double>{1.25, 2.5}));
    EXPECT_FALSE(ReadProfile(bad, flows, error));
    EXPECT_EQ(error, "Неверный файл профиля " + bad + ": строка 2: «x» не число");
    const std::string missing = (dir / "missing.txt").string();
    EXPECT_FALSE(ReadProfile(missing, flows, error));
    EXPECT_EQ(error.rfind("Ошибка открытия файла " + missing + ": ", 0), 0u) << error;
    std::filesystem::remove_all(dir);
}

} // namespace
