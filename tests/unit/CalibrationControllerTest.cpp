// The calibration window's decisions without the window: its settings boxes,
// its buttons in each stage, its points table from a result and its mark from
// the gate.
#include "CalibrationController.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

DeviceSlot Meter(int type, int address)
{
    DeviceSlot s;
    s.SetTypeCode(static_cast<std::uint8_t>(type));
    s.SetNetAddress(static_cast<std::uint8_t>(address));
    s.SetChannel(1);
    return s;
}

TEST(CalibrationForm, SettingsFromTheBoxes)
{
    const DeviceSlot meter = Meter(3, 5);
    CalibrationFormTexts t;
    t.Reference = " 3:6:2 ";
    t.AccuracyClass = 1;
    t.Qp = "7,5";
    t.Tolerance = "3";
    t.Settle = "0";
    t.Window = "2.5";
    CalibrationSettings s;
    ReferenceChoice r;
    std::string error;
    ASSERT_TRUE(ReadCalibrationForm(t, meter, s, r, error)) << error;
    EXPECT_EQ(r.Source, ReferenceChoice::Kind::Meter);
    EXPECT_EQ(r.Slot.TypeCode(), 3);
    EXPECT_EQ(r.Slot.NetAddress(), 6);
    EXPECT_EQ(r.Slot.Channel(), 2);
    EXPECT_EQ(s.AccuracyClass, 1);
    ASSERT_TRUE(s.Qp);
    EXPECT_DOUBLE_EQ(*s.Qp, 7.5);
    EXPECT_DOUBLE_EQ(s.Gate.TolerancePct, 3);
    EXPECT_DOUBLE_EQ(s.Gate.SettleS, 0);
    EXPECT_DOUBLE_EQ(s.Gate.WindowS, 2.5);
    // The defaults are the run's.
    EXPECT_DOUBLE_EQ(s.Gate.CvPct, GateSettings{}.CvPct);
    EXPECT_DOUBLE_EQ(s.Gate.PointTimeoutS, GateSettings{}.PointTimeoutS);

    t = {};
    t.Reference = "manual";
    ASSERT_TRUE(ReadCalibrationForm(t, meter, s, r, error)) << error;
    EXPECT_EQ(r.Source, ReferenceChoice::Kind::Manual);
    EXPECT_FALSE(s.Qp); // empty: Gmax
    t.Reference = "modbus:7";
    ASSERT_TRUE(ReadCalibrationForm(t, meter, s, r, error)) << error;
    EXPECT_EQ(r.Source, ReferenceChoice::Kind::ModBus);
    EXPECT_EQ(r.ModBusAddress, 7);
}

TEST(CalibrationForm, SettingsRefusedNameTheBox)
{
    const DeviceSlot meter = Meter(3, 5);
    struct Case {
        const char* what;
        CalibrationFormTexts texts;
        const char* word; // in the message
    };
    auto with = [](auto change) {
        CalibrationFormTexts t;
        t.Reference = "3:6";
        change(t);
        return t;
    };
    const std::vector<Case> cases = {
        {"no reference", with([](auto& t) { t.Reference = " "; }), "образцовый"},
        {"reference not a slot", with([](auto& t) { t.Reference = "3-6"; }), "ТИП:АДРЕС"},
        {"reference address too high", with([](auto& t) { t.Reference = "3:200"; }), "адрес"},
        {"reference is the meter itself", with([](auto& t) { t.Reference = "3:5"; }), "адрес"},
        {"bad modbus address", with([](auto& t) { t.Reference = "modbus:0"; }), "ModBus"},
        {"qp not a number", with([](auto& t) { t.Qp = "abc"; }), "qp"},
        {"qp zero", with([](auto& t) { t.Qp = "0"; }), "qp"},
        {"tolerance empty", with([](auto& t) { t.Tolerance = ""; }), "Допуск"},
        {"window negative", with([](auto& t) { t.Window = "-1"; }), ""},
        {"timeout shorter than settle and window", with([](auto& t) { t.PointTimeout = "3"; }), ""},
        {"class out of range", with([](auto& t) { t.AccuracyClass = 4; }), "Класс"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CalibrationSettings s;
        s.AccuracyClass = 3;
        ReferenceChoice r;
        std::string error;
        EXPECT_FALSE(ReadCalibrationForm(c.texts, meter, s, r, error));
        EXPECT_FALSE(error.empty());
        EXPECT_NE(error.find(c.word), std::string::npos) << error;
        EXPECT_EQ(s.AccuracyClass, 3) << "a refused form changes no setting";
    }
}

TEST(CalibrationForm, ButtonsInEachStage)
{
    using S = CalibrationStage;
    struct Row {
        S stage;
        bool connected, busy;
        // start, stop, by hand, skip, write, verify, print, settings
        std::array<bool, 8> on;
    };
    const std::vector<Row> rows = {
        {S::Idle, true, false, {1, 0, 0, 0, 0, 1, 0, 1}},
        {S::Idle, false, false, {0, 0, 0, 0, 0, 0, 0, 0}},
        {S::Idle, true, true, {0, 0, 0, 0, 0, 0, 0, 0}}, // another operation has the port
        {S::Measuring, true, false, {0, 1, 1, 1, 0, 0, 0, 0}},
        {S::Measuring, false, false, {0, 1, 1, 1, 0, 0, 0, 0}}, // a run under way can always be stopped
        {S::TableMade, true, false, {1, 0, 0, 0, 1, 0, 0, 1}},
        {S::TableMade, false, false, {0, 0, 0, 0, 0, 0, 0, 0}},
        {S::Writing, true, false, {0, 1, 0, 0, 0, 0, 0, 0}},
        {S::Written, true, false, {0, 0, 0, 0, 0, 1, 0, 0}},
        {S::Done, true, false, {1, 0, 0, 0, 0, 1, 1, 1}},
        {S::Done, false, false, {0, 0, 0, 0, 0, 0, 1, 0}}, // the certificate needs no line
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "stage " << static_cast<int>(row.stage) << " connected " << row.connected
                                        << " busy " << row.busy);
        const CalibrationButtons b = ButtonsOf(row.stage, row.connected, row.busy);
        const std::array<bool, 8> got = {b.Start, b.Stop, b.ByHand, b.Skip, b.Write, b.Verify, b.Print, b.Settings};
        EXPECT_EQ(got, row.on);
    }
}

PassPoint Pass(double target, double reference, double meter, double error, Verdict v)
{
    PassPoint p;
    p.Target = target;
    p.Reference.Stats.Mean = reference;
    p.Meter.Stats.Mean = meter;
    p.ErrorPct = error;
    p.MpePct = 2.5;
    p.UPct = 0.21;
    p.PointVerdict = v;
    return p;
}

TEST(CalibrationForm, PointsTableAsTheRunGoesOn)
{
    CalibrationResult r;
    r.Points.resize(2);
    r.Points[0].Target = 0.5;
    r.Points[1].Target = 5;
    r.Points[0].K = r.Points[1].K = NAN;
    // Mid-pass: the first point measured, nothing else known.
    r.Points[0].AsFound = Pass(0.5, 0.5012, 0.5213, 4.0104, Verdict::Fail);
    std::vector<PointRow> rows = PointRows(r);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].Cells, (std::array<std::string, PointColumns>{"0,5", "0,5012", "0,5213", "4,01", "", "", "", "",
                                                                      "", ""}));
    EXPECT_EQ(rows[1].Cells[0], "5");
    EXPECT_EQ(rows[1].Cells[1], "");
    EXPECT_FALSE(rows[0].RowVerdict) << "no verdict before the run is judged";

    // The table made, written, the as-left pass judged.
    r.Points[1].AsFound = Pass(5, 5.001, 5.1, 1.98, Verdict::Pass);
    r.NewTable = CoefficientTables{};
    r.Points[0].K = 0.052;
    r.Points[0].Obr = 0.05012;
    r.Points[1].K = 0.51;
    r.Points[1].Obr = 0.5001;
    r.Points[0].AsLeft = Pass(0.5, 0.4998, 0.4999, 0.02, Verdict::Pass);
    r.Points[1].AsLeft = Pass(5, 5.0, 5.3, 6.0, Verdict::Fail);
    r.Outcome = RunOutcome::NotPassed;
    rows = PointRows(r);
    // Reference and meter of the latest pass; the as-found error stays.
    EXPECT_EQ(rows[0].Cells, (std::array<std::string, PointColumns>{"0,5", "0,4998", "0,4999", "4,01", "0,052",
                                                                      "0,05012", "0,02", "±2,5", "0,21", "годен"}));
    EXPECT_EQ(rows[1].Cells[9], "не годен");
    EXPECT_EQ(rows[1].RowVerdict, Verdict::Fail);

    // A verification alone is judged on its one pass.
    CalibrationResult v;
    v.VerifyOnly = true;
    v.Outcome = RunOutcome::Passed;
    v.Points.resize(1);
    v.Points[0].Target = 1;
    v.Points[0].K = NAN;
    v.Points[0].AsFound = Pass(1, 1, 1.001, 0.1, Verdict::Undetermined);
    rows = PointRows(v);
    EXPECT_EQ(rows[0].Cells[4], "");
    EXPECT_EQ(rows[0].Cells[9], "не определено");
}

TEST(CalibrationForm, MarkFollowsTheGate)
{
    EXPECT_EQ(MarkOf(std::nullopt).Colour, MarkGrey);
    EXPECT_EQ(MarkOf(std::nullopt).Figures, "");
    struct Case {
        GateState state;
        BoxColour colour;
    };
    for (const Case& c : {Case{GateState::NotAtPoint, MarkGrey}, Case{GateState::Settling, MarkAmber},
                          Case{GateState::Stable, MarkGreen}, Case{GateState::TimedOut, MarkRed}}) {
        GateFigures f;
        f.State = c.state;
        f.ReferenceCvPct = 0.123;
        f.MeterCvPct = NAN; // fewer than two samples in the window
        f.TimeInToleranceS = 3.25;
        const StabilityMark m = MarkOf(f);
        EXPECT_EQ(m.Colour, c.colour);
        EXPECT_EQ(m.Figures, "КВ обр. 0,12 %   КВ пр. —   в допуске 3,25 с");
    }
}

} // namespace
