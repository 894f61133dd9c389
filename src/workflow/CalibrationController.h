// The calibration window of one slot without the window: what its settings
// mean, which buttons it offers in which stage, what its points table, its
// stability mark and its trend show, and the steps of a run it starts on the
// operation thread.
//
// A session goes Start (the as-found pass and the new table) -> Write (the
// guarded write with its question) -> Verify (the pass with the new table and
// the verdicts). Verify outside a calibration is a verification pass alone.
// Each step holds the line with the poller paused only while it runs; between
// steps the main window polls as before. Stop, TakeByHand and Skip come from
// the window's thread while a step runs on the operation thread.
#pragma once

#include "CalibrationRun.h"
#include "CertificateLayout.h"
#include "FlowReference.h"
#include "Host.h"
#include "Settings.h"

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CoefficientWriter;
class DevManager;
class TClbThread;
class TulvComPort;
struct PortList;

// --- The settings as typed ----------------------------------------------------------

// The texts of the settings boxes; the defaults are the run's defaults.
struct CalibrationFormTexts {
    std::string Reference;        // "ТИП:АДРЕС[:КАНАЛ][@СЕРИЙНЫЙ]", "modbus:АДРЕС", "manual"
    std::string ReferencePort;    // empty: the meter's line; else COMn or a device path
    int AccuracyClass = 2;        // 1..3
    std::string Qp;               // empty: Gmax
    std::string Tolerance = "5";
    std::string Settle = "5";
    std::string Window = "10";
    std::string Cv = "0.5";
    std::string PointTimeout = "120";
};

// The settings and the reference the texts give for a run on meter, which is
// on line (COMn resolved through settings); false with a message (Russian)
// naming the box at fault. A reference port that is line's own device is
// refused: the meter's line is the list's first entry.
bool ReadCalibrationForm(const CalibrationFormTexts& texts, const DeviceSlot& meter, const PortChoice& line,
                         const Settings& settings, CalibrationSettings& calibration, ReferenceChoice& reference,
                         std::string& error);

// An entry of the window's list of the reference's port: what it shows, the
// name ReadCalibrationForm takes ("" for the meter's line, COMn, or a device
// path) and the device it stands for.
struct ReferencePortEntry {
    std::string Text;
    std::string Name;
    std::string Hint;
};
// The meter's line first, then the main window's port list.
std::vector<ReferencePortEntry> ReferencePortEntries(const PortList& ports);

// The window's list of the reference's port, as its messages name it.
inline constexpr const char* ReferencePortControl = "список «Порт образцового»";
// The list's first entry: the reference on the meter's line.
inline constexpr const char* SameLineEntry = "(та же линия)";

// What the boxes of the manual reference give: a flow typed in, or a volume
// and a time from a weighing system (decimal comma or point).
struct ManualEntry {
    ManualReading Reading;
    double Flow = 0;   // ManualFlow of the reading when it gives one
    std::string Fault; // why the figures give no flow (Russian), empty when they do
};
ManualEntry ReadManualEntry(bool volumeAndTime, const std::string& flow, const std::string& volume,
                            const std::string& seconds);

// --- Stages and buttons -------------------------------------------------------------

enum class CalibrationStage {
    Idle,      // nothing under way (the last run, if any, ended)
    Measuring, // a pass runs
    TableMade, // the as-found pass gave a new table: it may be written
    Writing,   // the guarded write runs
    Written,   // the new table is in the meter: the as-left pass may run
    Done,      // the verdicts are there
};

struct CalibrationButtons {
    bool Start = false;
    bool Stop = false;
    bool ByHand = false;
    bool Skip = false;
    bool Write = false;
    bool Verify = false;
    bool Print = false;
    bool Settings = false; // the settings boxes
};

// connected: the main window is connected; operationBusy: another operation
// of the port runs. Print needs no line: the certificate of the run judged
// (the window says so when it cannot be printed).
CalibrationButtons ButtonsOf(CalibrationStage stage, bool connected, bool operationBusy);

// --- What the window shows -----------------------------------------------------------

// The stability mark: grey off the point, amber while settling, green when
// stable, red when the point timed out.
struct StabilityMark {
    BoxColour Colour = 0;
    std::string Word;    // "нет точки", "установление", "стабильно", "не установился"
    std::string Figures; // "КВ обр. 0,12 %  КВ пр. 0,10 %  в допуске 3,2 с"
};
inline constexpr BoxColour MarkGrey = 0x9E9E9E;
inline constexpr BoxColour MarkAmber = 0xFFB300;
inline constexpr BoxColour MarkGreen = 0x2E9E3E;
inline constexpr BoxColour MarkRed = 0xD03030;
// figures: the gate at the point measured now; none: no point is measured.
StabilityMark MarkOf(const std::optional<GateFigures>& figures);

// The columns of the points table.
inline constexpr int PointColumns = 10;
const std::array<const char*, PointColumns>& PointColumnTitles();

struct PointRow {
    std::array<std::string, PointColumns> Cells;
    std::optional<Verdict> RowVerdict; // the verdict shown, if any
};
// One row per target. Reference and meter are the means of the latest pass
// measured at the point; the error as found, the new K and Obr, the error as
// left, MPE, U and the verdict as far as the run got. Empty cells for what
// is not known yet.
std::vector<PointRow> PointRows(const CalibrationResult& result);

// A figure for a cell: a decimal comma, digits significant digits; "" for
// not a number.
std::string CellNumber(double v, int digits = 4);

// --- The trend ------------------------------------------------------------------------

struct TrendSample {
    double Time = 0; // seconds on the run's clock
    double Flow = 0;
};
// The flows of the meter and of the reference over the last TrendSpanS
// seconds, kept from any thread.
inline constexpr double TrendSpanS = 60.0;
struct TrendView {
    std::vector<TrendSample> Meter, Reference;
    double Now = 0;
    // The band of the gate's window over its last WindowS seconds: mean ± σ.
    std::optional<GateFigures> Figures;
    double WindowS = 0;
    double TolerancePct = 0; // of the gate: the trend zooms to the target ± twice this
};

// --- The session ----------------------------------------------------------------------

class CalibrationController {
public:
    // slot: the meter under test in dev. writer: the guarded write of the
    // main window's coefficient actions. host: the workflow's host (questions,
    // manual values). certificate: may be empty.
    CalibrationController(DevManager& dev, TClbThread& poller, CoefficientWriter& writer, Host& host,
                          TimeoutProfile profile, int slot, CertificateWriter certificate = {});
    ~CalibrationController();

    int Slot() const { return FSlot; }
    CalibrationStage Stage() const;
    bool Busy() const; // a step runs
    bool CertificateAvailable() const { return static_cast<bool>(FCertificate); }

    // What the Verify button does now: the as-left pass of this session's
    // calibration, or a verification pass alone.
    bool VerifyIsAsLeft() const { return Stage() == CalibrationStage::Written; }

    // --- The steps (on the operation thread). Each returns whether it
    // reached its end; Message() says why not.
    bool StartCalibration(const CalibrationSettings& settings, const ReferenceChoice& reference);
    bool WriteTable();
    bool Verify(const CalibrationSettings& settings, const ReferenceChoice& reference);

    // --- From the window's thread while a step runs.
    void Stop();
    void TakeByHand();
    void Skip();

    // --- What the window shows (any thread).
    CalibrationResult Snapshot() const;
    std::string Message() const;
    TrendView Trend() const;
    std::optional<GateFigures> CurrentFigures() const;
    // The pass and point measured now (point from 1; 0: none).
    int CurrentPoint() const;

    // The certificate of the last judged run, as its page to print; false
    // with a message when there is none to make.
    bool Certificate(SheetDocument& page, std::string& error) const;

    // Told (on the step's thread) whenever there is something new to show;
    // the window queues a repaint.
    std::function<void()> Changed;
    // Asked (on the step's thread) for the reference typed in by hand.
    std::function<std::optional<ManualReading>(int point, double target, double meterMean)> AskReference;

private:
    class RecordingMeter;
    class RecordingReference;

    bool BeginStep(CalibrationStage stage);
    void EndStep(CalibrationStage stage, const std::string& message);
    bool Connect(const CalibrationSettings& settings, const ReferenceChoice& reference);
    RunEvents Events();
    void Record(bool meter, double flow);
    void Notify() const;

    DevManager& FDev;
    TClbThread& FPoller;
    CoefficientWriter& FWriter;
    Host& FHost;
    TimeoutProfile FProfile;
    int FSlot;
    CertificateWriter FCertificate;

    mutable std::mutex FLock; // everything below
    CalibrationStage FStage = CalibrationStage::Idle;
    bool FBusy = false;
    std::string FMessage;
    CalibrationResult FSnapshot;
    std::optional<GateFigures> FFigures;
    int FCurrentPoint = 0;
    std::deque<TrendSample> FMeterTrend, FReferenceTrend;
    double FNow = 0;
    bool FStopAsked = false;

    // The run and what it reads (the step's thread, while a step runs).
    std::unique_ptr<TulvComPort> FReferencePort; // the reference's own port, open while its run goes on
    std::unique_ptr<RunReference> FReference;
    std::unique_ptr<RecordingMeter> FMeter;
    std::unique_ptr<RecordingReference> FRecordingReference;
    std::unique_ptr<CalibrationRun> FRun;
    RunClock FClock;
};
