// A calibration run on the flow stand: the meter under test and a reference
// meter sampled alternately while the poller is paused, a point taken per
// target flow when the stability gate says so, the new point table, the
// guarded write, a second pass with the new table and the verdicts.
//
// The run holds no port and no window of its own: it reads the meter through
// a RunMeter and the reference through a RunReference (FlowSampler.h and
// FlowReference.h build them from a slot), tells its progress through
// RunEvents and is stopped from any thread. The window drives it from its
// operation thread, clbtool from its main thread, the tests with sources of
// their own.
#pragma once

#include "CalibrationMath.h"
#include "CoefficientSet.h"
#include "DeviceSlot.h"
#include "StabilityGate.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// --- What the run reads ----------------------------------------------------------

// One reading of the meter under test: the flow as the live box shows it (in
// the units of Gmax) and the uncorrected fraction of Gmax behind it.
struct MeterReading {
    double Flow = 0;
    double Fraction = 0;
};

class RunMeter {
public:
    virtual ~RunMeter() = default;
    // The tables the meter holds now (after a write: as written).
    virtual CoefficientTables Tables() const = 0;
    // One live reading; false with a message when the meter did not answer.
    virtual bool Read(MeterReading& reading, std::string& error) = 0;
    // Why the uncorrected fraction cannot be found from the flow (the
    // current table cannot be inverted); empty when it can.
    virtual std::string FractionFault() const { return PointTableFault(Tables()); }
};

// What the user typed in for a point read by hand: a flow, or the volume that
// passed (in the volume unit of Gmax's unit, m³ for m³/h) and the time it
// took in seconds.
struct ManualReading {
    std::optional<double> Flow;
    double Volume = 0;
    double Seconds = 0;
};
// The flow of a manual reading (in the units of Gmax: volume per hour); not a
// number when it gives none (a time that is not positive).
double ManualFlow(const ManualReading& reading);

class RunReference {
public:
    virtual ~RunReference() = default;
    // "ДЛН-08.09 № 1234, адрес 5", "ModBus, адрес 7", "вручную".
    virtual std::string Description() const = 0;
    // A reference typed in by hand: it is not sampled; the run asks for its
    // value once the meter is stable at a point.
    virtual bool Manual() const { return false; }
    // One live reading of the reference flow (in the units of Gmax); false
    // with a message when it did not answer.
    virtual bool Read(double& flow, std::string& error) = 0;
};

// --- The settings of a run ---------------------------------------------------------

struct CalibrationSettings {
    GateSettings Gate;
    int AccuracyClass = 2;
    std::optional<double> Qp; // the permanent flow; Gmax when not given
    double ReferenceUncertaintyPct = DefaultReferenceUncertaintyPct;
    // The flows of the points in the order given; empty: the flows of the
    // meter's Obr table (TargetsFromTable).
    std::vector<double> Profile;
    // A verification pass only: no table, no write.
    bool VerifyOnly = false;
};

// False with a message (Russian) when a setting cannot be used.
bool CheckCalibrationSettings(const CalibrationSettings& settings, std::string& error);

// --- The result -----------------------------------------------------------------------

enum class RunPass { AsFound, AsLeft };
// "as_found", "as_left".
const char* RunPassName(RunPass pass);

// One point of one pass: every sample of both series over the window judged,
// and the figures of the point.
struct PassPoint {
    double Target = 0;
    bool ByHand = false;          // taken by hand, not by the gate
    SampleSeries Reference;       // reference flows
    SampleSeries Meter;           // the meter's flows, as the live box shows them
    SampleSeries MeterFraction;   // the meter's uncorrected fractions of Gmax
    double ErrorPct = 0;          // (meter − reference) / reference × 100
    double MpePct = 0;            // at the mean reference flow
    double UPct = 0;              // expanded uncertainty, k = 2
    Verdict PointVerdict = Verdict::Undetermined;
};

struct CalibrationPoint {
    double Target = 0;
    std::optional<PassPoint> AsFound;
    std::optional<PassPoint> AsLeft;
    // The fractions written at this point (not a number when nothing was made).
    double K = 0;
    double Obr = 0;
    // The figures the verdict of the point rests on: the as-left pass, or the
    // as-found one for a verification alone (nullptr when that pass has no
    // figures at this point).
    const PassPoint* Judged(bool verifyOnly) const;
};

// Every sample of a run, in the order taken.
enum class SampleSeriesKind { Reference, Meter };
struct RunSample {
    RunPass Pass = RunPass::AsFound;
    int Point = 0; // from 1
    SampleSeriesKind Series = SampleSeriesKind::Reference;
    double Time = 0;  // seconds on the run's monotonic clock
    double Value = 0; // a flow in the units of Gmax
};

enum class RunOutcome {
    NotStarted,
    Passed,      // written (or verified only) and every judged point "годен"
    NotPassed,   // written (or verified only), but a point is not "годен"
    Stopped,     // stopped by the user
    TimedOut,    // a point did not become stable: nothing written after it
    Refused,     // the settings, the targets, the reference or the new table were refused
    Declined,    // the question before the write was answered No
    MeterFailed, // a reading or the write failed
};
// "passed", "not_passed", "stopped", ...
const char* RunOutcomeName(RunOutcome outcome);

struct CalibrationResult {
    RunOutcome Outcome = RunOutcome::NotStarted;
    bool VerifyOnly = false;
    std::string Message; // why the run ended other than by finishing (Russian)
    std::vector<CalibrationPoint> Points;
    std::optional<CoefficientTables> Before;   // the tables as found
    std::optional<CoefficientTables> NewTable; // the table made from the as-found pass
    bool Written = false;
    std::string BackupPath;
    std::vector<ValueDifference> Differences;
    // The point that timed out (from 1, 0 for none) with its figures.
    int TimedOutPoint = 0;
    std::optional<GateFigures> TimedOutFigures;
    // Every point judged and every judged point "годен".
    bool MeterPassed = false;
    std::vector<RunSample> Samples;
    // What the certificate names.
    int AccuracyClass = 0;
    double Qp = 0;
    double ReferenceUncertaintyPct = 0;
    std::string ReferenceDescription;
};

// Every sample of a run as CSV text: a header line "pass,point,series,time,value",
// then one line per sample (pass "as_found" or "as_left", point from 1, series
// "reference" or "meter", time in seconds from the run's first sample, value
// a flow), "." as the decimal point, CR LF line ends.
std::string SamplesCsv(const CalibrationResult& result);

// --- Progress -------------------------------------------------------------------------

struct RunEvents {
    // After every pair of samples: the gate's figures at the point.
    std::function<void(RunPass, int point, const GateFigures&)> Figures;
    // A point is taken (with its figures, the verdict not yet judged on the
    // as-found pass of a calibration).
    std::function<void(RunPass, int point, const PassPoint&)> PointTaken;
    // A pass has taken all its points.
    std::function<void(RunPass, const CalibrationResult&)> PassFinished;
    // The reference typed in by hand at a point, once the meter is steady:
    // std::nullopt stops the run.
    std::function<std::optional<ManualReading>(int point, double target, double meterMean)> AskReference;
};

// The guarded write of a new table: the answer of the question, the backup,
// the read-back comparison and the journal are the writer's (CoefficientWriter).
struct TableWrite {
    enum class Result { Written, Declined, Failed } Outcome = Result::Failed;
    std::string Message;
    std::string BackupPath;
    std::vector<ValueDifference> Differences;
};
using TableWriter = std::function<TableWrite(const CoefficientTables& table)>;

// The run's clock: seconds, monotonic.
using RunClock = std::function<double()>;
RunClock SteadyRunClock();

class CalibrationRun {
public:
    CalibrationRun(RunMeter& meter, RunReference& reference, TableWriter writer, CalibrationSettings settings,
                   RunEvents events = {}, RunClock clock = SteadyRunClock());

    // The whole run: as-found pass, new table, write, as-left pass, verdicts
    // (a verification pass with verdicts when VerifyOnly). The result says
    // how it ended; nothing is written when it ends before the write.
    const CalibrationResult& Run();

    // The steps of Run, for a window that drives them one by one. Each
    // returns false when the run ended (Result().Outcome says how).
    bool Prepare();                 // settings and targets
    bool MeasurePass(RunPass pass); // every point of a pass
    bool MakeTable();               // the new table from the as-found pass
    bool WriteTable();              // the guarded write
    void Judge();                   // the verdicts and the outcome

    // From any thread: stops the run between two samples.
    void Stop() { FStop = true; }
    bool StopRequested() const { return FStop.load(); }
    // From any thread: the current point is taken now over its last window
    // (when both series have samples there), or given up (skipped: the pass
    // goes on; a calibration with a skipped point makes no table).
    void TakeByHand() { FTakeByHand = true; }
    void Skip() { FSkip = true; }

    const CalibrationResult& Result() const { return FResult; }
    const std::vector<double>& Targets() const { return FTargets; }
    const CalibrationSettings& Settings() const { return FSettings; }

private:
    bool MeasurePoint(RunPass pass, int index);
    bool End(RunOutcome outcome, const std::string& message);
    std::string StoppedText(const std::string& where) const;
    void Keep(RunPass pass, int point, SampleSeriesKind series, double time, double value);

    RunMeter& FMeter;
    RunReference& FReference;
    TableWriter FWriter;
    CalibrationSettings FSettings;
    RunEvents FEvents;
    RunClock FClock;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FTakeByHand{false};
    std::atomic<bool> FSkip{false};
    std::vector<double> FTargets;
    CalibrationResult FResult;
    bool FEnded = false;
};
