// When a point of a calibration run is taken: the stability gate, fed with the
// timed samples of the reference and of the meter under test, and the targets
// of a run (from the meter's own table or from a profile file).
//
// The gate has no clock of its own: every sample brings its time (seconds on
// the run's monotonic clock), so the same stream of samples always gives the
// same decision.
#pragma once

#include "CalibrationMath.h"
#include "CoefficientSet.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The bounds of the gate; every one can be set by the user.
struct GateSettings {
    double TolerancePct = 5.0;    // the reference within ± this share of the target
    double SettleS = 5.0;         // after entering the tolerance, samples not yet counted
    double WindowS = 10.0;        // the span over which the CV is taken
    double CvPct = 0.5;           // the bound of the CV of the reference and of the meter
    double PointTimeoutS = 120.0; // from the start of the point to giving it up
};

// False with a message (Russian) when a bound is not a positive number (the
// settling time may be 0), or the timeout is too short for the settling time
// and the window together, so that no point could ever be taken.
bool CheckGateSettings(const GateSettings& settings, std::string& error);

// The mark the window shows: grey, amber, green; TimedOut ends the point
// without a result.
enum class GateState {
    NotAtPoint, // the reference is outside the tolerance of the target (or not read yet)
    Settling,   // inside it, but not yet for long enough or not yet steady
    Stable,     // the point is taken
    TimedOut,   // the point did not become stable within the timeout
};

// What the window and the messages show of the point being measured. The CVs
// and means are over the samples of the last window (not a number while a
// series has fewer than two samples there).
struct GateFigures {
    GateState State = GateState::NotAtPoint;
    double Target = 0;           // the reference flow aimed at
    double LastReference = 0;    // the last reference flow (not a number before the first)
    double ReferenceMean = 0;    // over the window
    double MeterMean = 0;        // over the window
    double ReferenceCvPct = 0;   // over the window
    double MeterCvPct = 0;       // over the window
    double TimeInToleranceS = 0; // since the reference last entered the tolerance; 0 outside it
    double ElapsedS = 0;         // since the start of the point
};

// A point taken: the samples of both series over the window that was judged.
struct TakenPoint {
    double Target = 0;
    double Time = 0; // the time of the last sample of the window
    bool ByHand = false;
    SampleSeries Reference;
    SampleSeries Meter;
};

class StabilityGate {
public:
    // The settings as CheckGateSettings accepts them (else std::invalid_argument).
    explicit StabilityGate(const GateSettings& settings = {});

    // Starts the point of the target reference flow (a positive number, else
    // std::invalid_argument) at time: what the gate held for the previous
    // point is dropped.
    void Begin(double target, double time);

    // A sample of each series. Times never go back: a sample earlier than the
    // last one or than the start of the point is a programming error
    // (std::invalid_argument), as is a sample before Begin. After the point
    // ended (taken or timed out) samples are ignored.
    void AddReference(double time, double flow);
    void AddMeter(double time, double flow);
    // Time passes without a sample (a silent line): the timeout still comes.
    void Advance(double time);

    // The point, taken now whatever the gate says, over the samples of the
    // last window (the button "take a point by hand"); std::nullopt while a
    // series has no sample there. It ends the point as a taken one.
    std::optional<TakenPoint> TakeByHand();

    GateState State() const { return FState; }
    bool Finished() const { return FState == GateState::Stable || FState == GateState::TimedOut || FTaken; }
    GateFigures Figures() const;
    // The point once the gate took it (or it was taken by hand).
    const std::optional<TakenPoint>& Taken() const { return FTaken; }
    // Every sample since the start of the point.
    const std::vector<Sample>& ReferenceSamples() const { return FReference; }
    const std::vector<Sample>& MeterSamples() const { return FMeter; }
    const GateSettings& Settings() const { return FSettings; }

private:
    void Accept(double time);
    void Evaluate();
    std::vector<Sample> Window(const std::vector<Sample>& series) const;

    GateSettings FSettings;
    bool FBegun = false;
    double FTarget = 0;
    double FStart = 0;
    double FNow = 0;
    std::optional<double> FInToleranceSince;
    GateState FState = GateState::NotAtPoint;
    std::vector<Sample> FReference, FMeter;
    std::optional<TakenPoint> FTaken;
};

// The message of a point that timed out, with its figures (point: its number
// in the run, from 1).
std::string GateTimeoutText(int point, const GateFigures& figures, const GateSettings& settings);

// --- The targets of a run -------------------------------------------------------------

// The reference flows the meter's Obr table holds (each point × Gmax), in
// increasing order. False with a message when Gmax or a point is not a
// positive number or two points give the same flow.
bool TargetsFromTable(const CoefficientTables& t, std::vector<double>& flows, std::string& error);

// A profile: the flows of a run in the order given, one flow per line in the
// units of Gmax, with "." as the decimal point whatever the locale. Blank
// lines and everything from "#" to the end of a line are skipped; a line may
// end in CR LF, LF or CR, and the text may begin with a UTF-8 byte-order mark.
// False with a message naming the line when a line is not a number or not a
// positive one, and when there is no flow at all.
bool ParseProfile(std::string_view text, std::vector<double>& flows, std::string& error);
// The same from a file; the message names the file.
bool ReadProfile(const std::string& path, std::vector<double>& flows, std::string& error);
