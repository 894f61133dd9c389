// The calibration window's decisions without the window: its settings boxes,
// its buttons in each stage, its points table from a result and its mark from
// the gate.
#include "CalibrationController.h"
#include "MainController.h"
#include "Settings.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The meter's line: COM1 at 19200 baud.
PortChoice Line(const Settings& settings)
{
    PortChoice line;
    line.Number = 1;
    line.Path = settings.PortPath(1);
    line.Baud = 19200;
    return line;
}

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
    const Settings settings;
    const PortChoice line = Line(settings);
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
    ASSERT_TRUE(ReadCalibrationForm(t, meter, line, settings, s, r, error)) << error;
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
    ASSERT_TRUE(ReadCalibrationForm(t, meter, line, settings, s, r, error)) << error;
    EXPECT_EQ(r.Source, ReferenceChoice::Kind::Manual);
    EXPECT_FALSE(s.Qp); // empty: Gmax
    t.Reference = "modbus:7";
    ASSERT_TRUE(ReadCalibrationForm(t, meter, line, settings, s, r, error)) << error;
    EXPECT_EQ(r.Source, ReferenceChoice::Kind::ModBus);
    EXPECT_EQ(r.ModBusAddress, 7);
    EXPECT_FALSE(r.Port) << "the meter's line";

    // A second port: COMn through the settings, or a device path, at the
    // line's speed; there the meter's own address is another meter.
    t.Reference = "3:5";
    for (const char* port : {"COM2", "/dev/ttyUSB7"}) {
        SCOPED_TRACE(port);
        t.ReferencePort = port;
        ASSERT_TRUE(ReadCalibrationForm(t, meter, line, settings, s, r, error)) << error;
        ASSERT_TRUE(r.Port);
        EXPECT_EQ(r.Port->Path, port[0] == 'C' ? settings.PortPath(2) : std::string(port));
        EXPECT_EQ(r.Port->Baud, 19200u);
    }
}

// The meter's device by another name (a link, as /dev/serial/by-id gives
// adapters) is still the meter's port; a link to another device is not.
TEST(CalibrationForm, ReferencePortThatIsTheMetersDeviceByALinkIsRefused)
{
    TempFolder folder("clb-refport-");
    const std::filesystem::path own = folder / "own", other = folder / "other";
    std::filesystem::create_symlink("/dev/null", own);
    std::filesystem::create_symlink("/dev/zero", other);
    const Settings settings;
    PortChoice line = Line(settings);
    line.Path = "/dev/null";
    CalibrationFormTexts t;
    t.Reference = "3:5";
    CalibrationSettings s;
    ReferenceChoice r;
    std::string error;
    t.ReferencePort = own.string();
    EXPECT_FALSE(ReadCalibrationForm(t, Meter(3, 5), line, settings, s, r, error));
    EXPECT_NE(error.find("это порт поверяемого прибора"), std::string::npos) << error;
    t.ReferencePort = other.string();
    EXPECT_TRUE(ReadCalibrationForm(t, Meter(3, 5), line, settings, s, r, error)) << error;
}

TEST(CalibrationForm, ReferencePortListIsTheLineThenTheMainList)
{
    PortList ports;
    ports.Entries = {{"COM1", "/dev/ttyS0", 1}, {"ttyUSB0: FTDI FT232R", "/dev/serial/by-id/usb-FTDI-if00", 0}};
    const std::vector<ReferencePortEntry> list = ReferencePortEntries(ports);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Text, "(та же линия)");
    EXPECT_EQ(list[0].Name, "");
    EXPECT_EQ(list[1].Name, "COM1");
    EXPECT_EQ(list[1].Hint, "/dev/ttyS0");
    EXPECT_EQ(list[2].Text, "ttyUSB0: FTDI FT232R");
    EXPECT_EQ(list[2].Name, "/dev/serial/by-id/usb-FTDI-if00");
}

// The manual reference's boxes: a flow, or a volume in m³ and a time in seconds.
TEST(CalibrationForm, ManualEntryGivesAFlowOrSaysWhyNot)
{
    struct Case {
        bool volume;
        const char *flow, *litres, *seconds;
        double expected; // 0: refused
        const char* word;
    };
    const Case cases[] = {
        {false, "2,5", "", "", 2.5, ""},
        {false, " 2.5 ", "x", "0", 2.5, ""}, // the other way's boxes do not count
        {false, "0", "", "", 0, "больше нуля"},
        {false, "-1", "", "", 0, "больше нуля"},
        {false, "", "", "", 0, "Расход"},
        {true, "", "0,1", "180", 2.0, ""},
        {true, "abc", "0.05", "60", 3.0, ""},
        {true, "", "0", "60", 0, "Объём"},
        {true, "", "0,1", "0", 0, "Время"},
        {true, "", "0,1", "-5", 0, "Время"},
        {true, "", "0,1", "", 0, "Время"},
        {true, "", "литр", "60", 0, "Объём"},
        {true, "", "1e300", "1e-300", 0, "не дают расхода"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.volume << " " << c.flow << " " << c.litres << " " << c.seconds);
        const ManualEntry e = ReadManualEntry(c.volume, c.flow, c.litres, c.seconds);
        if (c.expected > 0) {
            EXPECT_TRUE(e.Fault.empty()) << e.Fault;
            EXPECT_NEAR(e.Flow, c.expected, 1e-12);
            EXPECT_NEAR(ManualFlow(e.Reading), c.expected, 1e-12) << "the run takes the same flow";
            EXPECT_EQ(e.Reading.Flow.has_value(), !c.volume);
        } else {
            EXPECT_NE(e.Fault.find(c.word), std::string::npos) << e.Fault;
        }
    }
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
        {"bad modbus address", with([](auto& t) { t.Reference = "modbus:0"; }), "ModBus"},
        {"qp not a number", with([](auto& t) { t.Qp = "abc"; }), "qp"},
        {"qp zero", with([](auto& t) { t.Qp = "0"; }), "qp"},
        {"tolerance empty", with([](auto& t) { t.Tolerance = ""; }), "Допуск"},
        {"window negative", with([](auto& t) { t.Window = "-1"; }), ""},
        {"timeout shorter than settle and window", with([](auto& t) { t.PointTimeout = "3"; }), ""},
        {"class out of range", with([](auto& t) { t.AccuracyClass = 4; }), "Класс"},
        // The window names its own list, not the command line's option.
        {"reference is the meter itself", with([](auto& t) { t.Reference = "3:5"; }),
         "по тому же адресу (5), что и поверяемый: читался бы сам поверяемый прибор. Укажите адрес образцового "
         "прибора или другой порт (список «Порт образцового»)"},
        {"reference port is the meter's port", with([](auto& t) { t.ReferencePort = "COM1"; }),
         "это порт поверяемого прибора"},
        {"reference port is the meter's device by its path",
         with([](auto& t) { t.ReferencePort = "/dev/ttyS0"; }), "это порт поверяемого прибора"},
        {"reference port beyond COM16", with([](auto& t) { t.ReferencePort = "COM17"; }), "COM1..COM16"},
        {"manual reference with a port", with([](auto& t) { t.Reference = "manual"; t.ReferencePort = "COM2"; }),
         "вручную"},
    };
    const Settings settings;
    const PortChoice line = Line(settings);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CalibrationSettings s;
        s.AccuracyClass = 3;
        ReferenceChoice r;
        std::string error;
        EXPECT_FALSE(ReadCalibrationForm(c.texts, meter, line, settings, s, r, error));
        EXPECT_EQ(error.find("--reference-port"), std::string::npos) << error;
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
