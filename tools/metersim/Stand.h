// The flow stand: water runs through every meter of the line that has a "stand" key, at one true
// flow that follows a schedule of levels (or a flow set while running). A meter under test measures
// an uncorrected fraction x of its Gmax through its own error curve, with noise, and reports it
// through the point table it holds, so a write of new tables changes what it reports. A reference
// meter reports the true flow with a small error of its own, whatever its tables hold.
//
// The schedule's clock is the time since an epoch: the start of the process, or a Unix time, so
// that two simulators with the same schedule and epoch (two lines of one stand) agree on the flow.
// The true flow's noise is a function of that clock too (a new value every 100 ms).
#pragma once

#include "JsonFields.h"
#include "LiveFlow.h"
#include "MonoTime.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace metersim {

class Meter;

// The correction of a point table: points x[j] = K[j+2], y[j] = Obr[j+2]; between two points the
// straight line through them, below the first the line through the origin, above the last the line
// toward (2, 2); the sign is kept. A fraction that no segment holds (a table out of order) stays as
// it is.
double CorrectFraction(double x, const StandCalibration& c);
// The uncorrected fraction whose correction is c, for a table increasing in both K and Obr.
double UncorrectFraction(double c, const StandCalibration& cal);

// Standard normal numbers from a seed, the same on every platform.
class Gauss {
public:
    explicit Gauss(std::uint32_t seed) : engine_(seed) {}
    double Next();

private:
    std::mt19937 engine_;
};

class FlowStand {
public:
    struct Level {
        double flow = 0;     // in the meters' flow units (m³/h)
        double holdS = 0;    // how long the level lasts, ramp included
        double noisePct = 0; // σ of the relative noise, in %
    };

    // v: the line's "stand" object; seed: the line's seed. Starts the schedule's clock now.
    static std::shared_ptr<FlowStand> Load(const json& v, std::uint32_t seed, const std::string& where);

    // Seconds on the schedule's clock at a moment of the simulator's clock.
    double ClockS(MonoTime now) const;
    double TrueFlow(MonoTime now) const;

    // A command typed while running (one line, see README.md); returns the line to answer.
    std::string Command(const std::string& line, MonoTime now);

    json Dump(MonoTime now) const;

private:
    double ScheduledFlow(double t, const Level*& level) const;

    std::vector<Level> levels_;
    double periodS_ = 0;
    bool cycle_ = true;
    double rampS_ = 0;
    std::uint32_t seed_ = 1;
    MonoTime startMono_{};
    double startClockS_ = 0;   // the schedule's clock when the simulator started
    std::optional<Level> set_; // a flow set by hand, until "schedule"
};

class StandMeter {
public:
    // v: the meter's "stand" object; index: the meter's place in the scenario (for its noise).
    static std::shared_ptr<StandMeter> Load(const json& v, std::shared_ptr<FlowStand> stand, std::uint32_t seed,
                                            std::size_t index, const std::string& where);
    // Refuses a meter that the stand cannot drive on the chosen channel.
    void Check(const Meter& meter, const std::string& where) const;

    // Computes what the meter reports at this moment and puts it into its live-flow cell.
    void Refresh(Meter& meter, MonoTime now);

    json Dump() const;

private:
    StandMeter(std::shared_ptr<FlowStand> stand, std::uint32_t seed) : stand_(std::move(stand)), noise_(seed) {}
    double ErrorPct(double fraction) const;

    std::shared_ptr<FlowStand> stand_;
    bool reference_ = false;
    std::vector<std::pair<double, double>> error_; // (q_true / Gmax, error in %), increasing
    double errorPct_ = 0;                          // a reference's constant error
    double noisePct_ = 0;
    int channel_ = 1;
    std::optional<double> gmax_; // for a meter that does not keep its Gmax in its memory
    double scale_ = 1;           // the live value's unit: reported value × scale
    Gauss noise_;

    std::uint64_t reads_ = 0;
    double lastTrue_ = 0, lastX_ = 0, lastValue_ = 0;
};

} // namespace metersim
