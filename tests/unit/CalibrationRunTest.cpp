// The calibration run headless, on a stand made of functions: a true flow that
// goes to each point's target, a meter with a known error curve reporting
// through its tables, a reference, a virtual clock and a recording writer.
#include "CalibrationRun.h"
#include "FlowReference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double Gmax = 10.0;

CoefficientTables IdentityTable()
{
    CoefficientTables t;
    t.Gmax = static_cast<float>(Gmax);
    t.K[0] = 0;
    t.K[1] = 1;
    t.Obr[0] = 0;
    t.Obr[1] = 1;
    const float points[8] = {0.05f, 0.1f, 0.2f, 0.3f, 0.5f, 0.7f, 0.85f, 1.0f};
    for (int j = 0; j < 8; ++j) t.K[j + 2] = t.Obr[j + 2] = points[j];
    return t;
}

// The stand: the true flow follows the target of the point being measured
// (unless a test holds it elsewhere); every reading moves the clock on.
struct Stand {
    double Now = 0;
    double Target = 0;
    std::function<double(double target)> Flow = [](double target) { return target; };
    double NoisePct = 0.05;
    int Reads = 0;

    double Tick()
    {
        Now += 0.02;
        ++Reads;
        return Flow(Target) * (1 + NoisePct / 100 * std::sin(Reads * 1.7));
    }
};

// A meter whose uncorrected fraction is q/Gmax · (1 + e/100), e going from
// +4 % at no flow to −1.5 % at Gmax, reported through its tables.
class StandMeter : public RunMeter {
public:
    explicit StandMeter(Stand& stand) : FTables(IdentityTable()), FStand(stand) {}
    CoefficientTables Tables() const override { return FTables; }
    bool Read(MeterReading& r, std::string& error) override
    {
        if (MissLeft > 0) {
            --MissLeft;
            FStand.Tick();
            error = "нет ответа";
            return false;
        }
        const double q = FStand.Tick();
        r.Fraction = Uncorrected(q);
        r.Flow = CorrectedFraction(r.Fraction, FTables) * Gmax;
        return true;
    }
    // The fraction the meter measures at the true flow q.
    double Uncorrected(double q) const { return q / Gmax * (1 + ErrorAt(q / Gmax) / 100); }
    std::function<double(double x)> ErrorAt = [](double x) { return 4.0 - 5.5 * x; };
    CoefficientTables FTables;
    int MissLeft = 0;

private:
    Stand& FStand;
};

class StandReference : public RunReference {
public:
    explicit StandReference(Stand& stand) : FStand(stand) {}
    std::string Description() const override { return "образцовый"; }
    bool Read(double& flow, std::string&) override
    {
        flow = FStand.Tick();
        return true;
    }

private:
    Stand& FStand;
};

struct Bench {
    Stand stand;
    StandMeter meter{stand};
    StandReference reference{stand};
    std::vector<CoefficientTables> writes;
    TableWrite::Result answer = TableWrite::Result::Written;
    CalibrationSettings settings;
    RunEvents events;

    Bench()
    {
        settings.Gate.SettleS = 0.2;
        settings.Gate.WindowS = 1;
        settings.Gate.PointTimeoutS = 10;
        events.Figures = [this](RunPass, int, const GateFigures& f) { stand.Target = f.Target; };
    }

    // The run; events may reach it through Running.
    std::unique_ptr<CalibrationRun> Make(RunReference* ref = nullptr)
    {
        TableWriter writer = [this](const CoefficientTables& t) {
            writes.push_back(t);
            TableWrite w;
            w.Outcome = answer;
            if (answer == TableWrite::Result::Written) meter.FTables = t;
            w.BackupPath = "backup.txt";
            return w;
        };
        auto run = std::make_unique<CalibrationRun>(meter, ref ? *ref : reference, writer, settings, events,
                                                    [this] { return stand.Now; });
        Running = run.get();
        return run;
    }
    CalibrationRun* Running = nullptr;
};

TEST(CalibrationRun, CorrectsTheMeterAtEveryPointAndJudgesTheAsLeftPass)
{
    Bench b;
    auto run = b.Make();
    const CalibrationResult& r = run->Run();
    ASSERT_EQ(r.Outcome, RunOutcome::Passed) << r.Message;
    ASSERT_EQ(b.writes.size(), 1u);
    ASSERT_EQ(r.Points.size(), 8u);
    const CoefficientTables& written = b.writes[0];
    EXPECT_EQ(written.K[0], 0.0f);
    EXPECT_EQ(written.K[1], 1.0f);
    EXPECT_EQ(written.Gmax, static_cast<float>(Gmax));
    for (std::size_t i = 0; i < r.Points.size(); ++i) {
        const CalibrationPoint& p = r.Points[i];
        SCOPED_TRACE("point " + std::to_string(i + 1));
        ASSERT_TRUE(p.AsFound && p.AsLeft);
        // As found the meter carries its error curve, as left none.
        EXPECT_NEAR(p.AsFound->ErrorPct, 4.0 - 5.5 * p.Target / Gmax, 0.1);
        EXPECT_LT(std::fabs(p.AsLeft->ErrorPct), 0.1);
        EXPECT_EQ(p.AsLeft->PointVerdict, Verdict::Pass);
        // The written point is the meter's fraction and the reference's at that point.
        EXPECT_NEAR(p.K, b.meter.Uncorrected(p.Target), 1e-4);
        EXPECT_NEAR(p.Obr, p.Target / Gmax, 1e-4);
        EXPECT_EQ(written.K[i + 2], static_cast<float>(p.K));
        // The corrected flow at the true flow is now the true flow.
        EXPECT_NEAR(CorrectedFraction(b.meter.Uncorrected(p.Target), written) * Gmax, p.Target, p.Target * 0.001);
    }
    EXPECT_TRUE(r.MeterPassed);
    EXPECT_TRUE(r.Written);
    EXPECT_EQ(r.BackupPath, "backup.txt");
    EXPECT_EQ(r.Qp, Gmax);
    // Every sample is kept, in time order, of both series and both passes.
    ASSERT_FALSE(r.Samples.empty());
    for (std::size_t i = 1; i < r.Samples.size(); ++i) EXPECT_GE(r.Samples[i].Time, r.Samples[i - 1].Time);
    EXPECT_EQ(r.Samples.front().Pass, RunPass::AsFound);
    EXPECT_EQ(r.Samples.back().Pass, RunPass::AsLeft);
    // Uncorrected, +4 % at the low end is out of class 2 there.
    EXPECT_EQ(r.Points[0].AsFound->PointVerdict, Verdict::Fail);
}

// A stop anywhere before the write (while a point settles, or once the
// as-found pass has taken its last point) sends nothing and says so; a stop
// during the as-left pass ends the run after the write, without verdicts.
TEST(CalibrationRun, StopBeforeTheWriteWritesNothing)
{
    struct Case {
        RunPass pass;
        int point;
        bool onFigures; // stopped while sampling, not when the point is taken
        std::size_t writes;
    };
    for (const Case c : {Case{RunPass::AsFound, 1, true, 0}, Case{RunPass::AsFound, 8, false, 0},
                         Case{RunPass::AsLeft, 3, true, 1}}) {
        SCOPED_TRACE(std::string(RunPassName(c.pass)) + " " + std::to_string(c.point));
        Bench b;
        auto follow = b.events.Figures;
        b.events.Figures = [&](RunPass pass, int point, const GateFigures& f) {
            follow(pass, point, f);
            if (c.onFigures && pass == c.pass && point == c.point) b.Running->Stop();
        };
        b.events.PointTaken = [&](RunPass pass, int point, const PassPoint&) {
            if (!c.onFigures && pass == c.pass && point == c.point) b.Running->Stop();
        };
        auto run = b.Make();
        const CalibrationResult& r = run->Run();
        EXPECT_EQ(r.Outcome, RunOutcome::Stopped);
        EXPECT_EQ(b.writes.size(), c.writes);
        EXPECT_EQ(r.Written, c.writes == 1);
        EXPECT_FALSE(r.MeterPassed);
        if (c.writes == 0) {
            EXPECT_NE(r.Message.find("прибор не изменён"), std::string::npos) << r.Message;
        }
    }
}

// A point whose flow never settles within the tolerance ends the run with its
// figures; nothing is written.
TEST(CalibrationRun, PointThatNeverBecomesStableStopsTheRunWithItsFigures)
{
    Bench b;
    b.stand.Flow = [](double target) { return std::fabs(target - 2.0) < 1e-3 ? target * 1.2 : target; };
    auto run = b.Make();
    const CalibrationResult& r = run->Run();
    EXPECT_EQ(r.Outcome, RunOutcome::TimedOut);
    EXPECT_EQ(r.TimedOutPoint, 3); // the third point of the table: 0.2 · Gmax
    ASSERT_TRUE(r.TimedOutFigures);
    EXPECT_EQ(r.TimedOutFigures->State, GateState::TimedOut);
    EXPECT_NEAR(r.TimedOutFigures->LastReference, 2.4, 0.01);
    EXPECT_GE(r.TimedOutFigures->ElapsedS, b.settings.Gate.PointTimeoutS);
    EXPECT_NE(r.Message.find("Точка 3"), std::string::npos) << r.Message;
    EXPECT_TRUE(b.writes.empty());
    EXPECT_TRUE(r.Points[1].AsFound.has_value());
    EXPECT_FALSE(r.Points[2].AsFound.has_value());
}

// Measured points that do not rise in both tables (a meter stuck between two
// points, a reference that reads lower at a higher target) are refused with
// the reason, before anything is written.
TEST(CalibrationRun, TableThatDoesNotRiseIsRefusedWithTheReason)
{
    struct Case {
        const char* name;
        std::function<void(Bench&)> make;
        const char* reason;
    };
    const Case cases[] = {
        {"meter stuck", [](Bench& b) { b.meter.ErrorAt = [](double x) { return x > 0.45 && x < 0.75 ? (0.5 / x - 1) * 100 : 0.0; }; },
         "K точки"},
        {"reference falls", [](Bench& b) { b.stand.Flow = [](double t) { return std::fabs(t - 7.0) < 1e-3 ? 4.5 : t; }; }, "точки"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.settings.Gate.TolerancePct = 50;
        c.make(b);
        auto run = b.Make();
        const CalibrationResult& r = run->Run();
        EXPECT_EQ(r.Outcome, RunOutcome::Refused);
        EXPECT_NE(r.Message.find("прибор не изменён"), std::string::npos) << r.Message;
        EXPECT_NE(r.Message.find(c.reason), std::string::npos) << r.Message;
        EXPECT_TRUE(b.writes.empty());
        EXPECT_FALSE(r.NewTable);
    }
}

// A missed reply is skipped; three in a row end the run as a failed meter
// operation, naming the meter.
TEST(CalibrationRun, MissedRepliesAreSkippedUntilThreeInARow)
{
    for (int missed : {2, 3}) {
        Bench b;
        b.settings.VerifyOnly = true;
        b.meter.MissLeft = missed;
        auto run = b.Make();
        const CalibrationResult& r = run->Run();
        if (missed == 2) {
            EXPECT_NE(r.Outcome, RunOutcome::MeterFailed) << r.Message;
        } else {
            EXPECT_EQ(r.Outcome, RunOutcome::MeterFailed);
            EXPECT_NE(r.Message.find("Поверяемый прибор не отвечает"), std::string::npos) << r.Message;
        }
    }
}

// A verification alone writes nothing and judges the meter as it was found;
// a declined write leaves the run without verdicts.
TEST(CalibrationRun, VerificationAloneAndDeclinedWrite)
{
    Bench verify;
    verify.settings.VerifyOnly = true;
    auto run = verify.Make();
    const CalibrationResult& r = run->Run();
    EXPECT_EQ(r.Outcome, RunOutcome::NotPassed);
    EXPECT_TRUE(verify.writes.empty());
    EXPECT_FALSE(r.MeterPassed);
    ASSERT_NE(r.Points[0].Judged(true), nullptr);
    EXPECT_EQ(r.Points[0].Judged(true)->PointVerdict, Verdict::Fail);
    EXPECT_FALSE(r.Points[0].AsLeft);

    Bench declined;
    declined.answer = TableWrite::Result::Declined;
    auto run2 = declined.Make();
    const CalibrationResult& d = run2->Run();
    EXPECT_EQ(d.Outcome, RunOutcome::Declined);
    EXPECT_EQ(declined.writes.size(), 1u);
    EXPECT_FALSE(d.Written);
    EXPECT_EQ(declined.meter.FTables.K, IdentityTable().K);
}

// A reference typed in by hand: asked once the meter is steady, by flow or by
// volume and time; no answer stops the run.
TEST(CalibrationRun, ManualReferenceIsAskedOncePerPoint)
{
    Bench b;
    b.settings.VerifyOnly = true;
    b.settings.Profile = {1.0, 5.0};
    std::vector<double> asked;
    b.events.AskReference = [&](int point, double target, double meterMean) -> std::optional<ManualReading> {
        asked.push_back(meterMean);
        ManualReading m;
        if (point == 1) {
            m.Flow = target;
        } else {
            m.Volume = target / 3600 * 30; // 30 s at the target
            m.Seconds = 30;
        }
        return m;
    };
    ManualReference manual;
    auto run = b.Make(&manual);
    const CalibrationResult& r = run->Run();
    ASSERT_EQ(r.Outcome, RunOutcome::NotPassed) << r.Message;
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_NEAR(asked[1], 5.0 * (1 + (4.0 - 5.5 * 0.5) / 100), 0.01);
    for (const CalibrationPoint& p : r.Points) {
        ASSERT_TRUE(p.AsFound);
        EXPECT_EQ(p.AsFound->Reference.Stats.N, 1u);
        EXPECT_NEAR(p.AsFound->Reference.Stats.Mean, p.Target, 1e-9);
    }

    Bench stop;
    stop.settings.VerifyOnly = true;
    stop.events.AskReference = [](int, double, double) { return std::optional<ManualReading>(); };
    auto run2 = stop.Make(&manual);
    EXPECT_EQ(run2->Run().Outcome, RunOutcome::Stopped);
}

// A reference on the meter's own line at its own address would read the meter
// itself; another address, another port or a reference by hand is fine.
TEST(FlowReference, ReferenceAtTheMetersOwnAddressIsRefused)
{
    DeviceSlot meter;
    meter.SetTypeCode(12); // a 6x meter
    meter.SetNetAddress(5);
    meter.SetChannel(1);
    auto slot = [](int code, int address, int channel) {
        ReferenceChoice s;
        s.Source = ReferenceChoice::Kind::Meter;
        s.Slot.SetTypeCode(static_cast<std::uint8_t>(code));
        s.Slot.SetNetAddress(static_cast<std::uint8_t>(address));
        s.Slot.SetChannel(static_cast<std::uint8_t>(channel));
        return s;
    };
    ReferenceChoice manual;
    ReferenceChoice modbus;
    std::string error;
    ASSERT_TRUE(ParseReferenceWord("modbus:5", modbus, error));
    struct Case {
        ReferenceChoice choice;
        bool samePort;
        bool refused;
    };
    const Case cases[] = {
        {slot(12, 5, 1), true, true},  {slot(12, 5, 2), true, true}, {slot(13, 5, 1), true, true},
        {slot(12, 6, 1), true, false}, {slot(12, 5, 1), false, false}, {manual, true, false},
        {modbus, true, false},
    };
    for (const Case& c : cases) {
        const std::string text = ReferenceClash(c.choice, meter, c.samePort, "--reference-port");
        EXPECT_EQ(!text.empty(), c.refused) << text;
        if (c.refused) {
            EXPECT_NE(text.find("(--reference-port)"), std::string::npos) << "the caller's control ends the message";
        }
    }
    EXPECT_EQ(modbus.ModBusScale, 1);
    ReferenceChoice thousandths;
    ASSERT_TRUE(ParseReferenceWord("modbus:7:1000", thousandths, error)) << error;
    EXPECT_EQ(thousandths.ModBusAddress, 7);
    EXPECT_EQ(thousandths.ModBusScale, 1000);
    for (const char* bad : {"modbus:", "modbus:0", "modbus:128", "modbus:5x", "modbus:5:", "modbus:5:0", "modbus:5:-2",
                            "modbus:5:x", "modbus::10"}) {
        ReferenceChoice s;
        EXPECT_FALSE(ParseReferenceWord(bad, s, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    ReferenceChoice s;
    error.clear();
    EXPECT_FALSE(ParseReferenceWord("12:5", s, error));
    EXPECT_TRUE(error.empty()); // the slot form is the caller's to parse
}


} // namespace
