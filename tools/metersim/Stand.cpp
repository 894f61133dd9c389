#include "Stand.h"

#include "Meter.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <sstream>

namespace metersim {

namespace {

// How often the true flow's noise takes a new value.
constexpr double kNoiseTickS = 0.1;
// The raw reading's scale: x = (G − K0) · Ku / 26214.
constexpr double kRawScale = 26214.0;

double Number(const json& v, const std::string& where)
{
    if (!v.is_number()) throw ScenarioError(where + ": expected a number, got " + v.dump());
    const double d = v.get<double>();
    if (!std::isfinite(d)) throw ScenarioError(where + ": expected a finite number");
    return d;
}

double NonNegative(const json& v, const std::string& where)
{
    const double d = Number(v, where);
    if (d < 0) throw ScenarioError(where + ": must not be negative");
    return d;
}

bool Boolean(const json& v, const std::string& where)
{
    if (!v.is_boolean()) throw ScenarioError(where + ": expected true or false");
    return v.get<bool>();
}

std::uint64_t SplitMix(std::uint64_t z)
{
    z += 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// A uniform number in (0, 1) from 32 random bits.
double Open01(std::uint32_t bits)
{
    return (static_cast<double>(bits) + 0.5) / 4294967296.0;
}

double BoxMuller(std::uint32_t a, std::uint32_t b)
{
    return std::sqrt(-2.0 * std::log(Open01(a))) * std::cos(2.0 * std::numbers::pi * Open01(b));
}

// The standard normal number of one tick of the schedule's clock: the same in every process with
// the same seed.
double TickNoise(std::uint32_t seed, double t)
{
    const auto tick = static_cast<std::int64_t>(std::floor(t / kNoiseTickS));
    const std::uint64_t h = SplitMix(SplitMix(seed) ^ static_cast<std::uint64_t>(tick));
    return BoxMuller(static_cast<std::uint32_t>(h), static_cast<std::uint32_t>(h >> 32));
}

double WallClockS()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string Format(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

// A value that a 4-byte float can carry; anything else reads as 0.
double Finite(double v)
{
    return std::isfinite(v) && std::fabs(v) < 3.0e38 ? v : 0.0;
}

// The broken line through the eight points (from[j + 2], to[j + 2]): through the origin below the
// first, toward (2, 2) above the last, the sign kept. Read with from and to swapped it is its own
// inverse when both rise. A value that no segment holds (points out of order) stays as it is.
double ThroughPoints(double v, const std::array<double, 10>& from, const std::array<double, 10>& to)
{
    const double sign = v < 0 ? -1.0 : 1.0;
    const double f = std::fabs(v);
    auto px = [&from](int j) { return from[j + 2]; };
    auto py = [&to](int j) { return to[j + 2]; };
    if (f <= px(0)) return px(0) != 0 ? sign * f * py(0) / px(0) : 0.0;
    for (int j = 0; j < 7; ++j)
        if (px(j) < f && f <= px(j + 1))
            return sign * (py(j) + (py(j + 1) - py(j)) * (f - px(j)) / (px(j + 1) - px(j)));
    if (f > px(7)) return px(7) != 2 ? sign * (py(7) + (2 - py(7)) * (f - px(7)) / (2 - px(7))) : sign * py(7);
    return v;
}

} // namespace

double Gauss::Next()
{
    const std::uint32_t a = engine_();
    const std::uint32_t b = engine_();
    return BoxMuller(a, b);
}

double CorrectFraction(double x, const StandCalibration& c)
{
    return ThroughPoints(x, c.k, c.obr);
}

double UncorrectFraction(double c, const StandCalibration& cal)
{
    return ThroughPoints(c, cal.obr, cal.k);
}

// --- The true flow ------------------------------------------------------------------------------

std::shared_ptr<FlowStand> FlowStand::Load(const json& v, std::uint32_t seed, const std::string& where)
{
    RequireObject(v, where);
    json rest = v;
    auto stand = std::make_shared<FlowStand>();
    stand->seed_ = seed;
    if (auto schedule = Take(rest, "schedule")) {
        const std::string at = where + ".schedule";
        if (!schedule->is_array() || schedule->empty()) throw ScenarioError(at + ": expected a list of levels");
        for (std::size_t i = 0; i < schedule->size(); ++i) {
            const std::string li = at + "[" + std::to_string(i) + "]";
            RequireObject((*schedule)[i], li);
            json l = (*schedule)[i];
            Level level;
            auto flow = Take(l, "flow");
            auto hold = Take(l, "hold_s");
            if (!flow || !hold) throw ScenarioError(li + ": give \"flow\" and \"hold_s\"");
            level.flow = Number(*flow, li + ".flow");
            level.holdS = NonNegative(*hold, li + ".hold_s");
            if (level.holdS == 0) throw ScenarioError(li + ".hold_s: must be above 0");
            if (auto noise = Take(l, "noise_pct")) level.noisePct = NonNegative(*noise, li + ".noise_pct");
            RequireNoOtherKeys(l, li);
            stand->levels_.push_back(level);
            stand->periodS_ += level.holdS;
        }
    }
    if (auto cycle = Take(rest, "cycle")) stand->cycle_ = Boolean(*cycle, where + ".cycle");
    if (auto ramp = Take(rest, "ramp_s")) stand->rampS_ = NonNegative(*ramp, where + ".ramp_s");
    double epochOffset = 0;
    if (auto epoch = Take(rest, "epoch")) {
        if (epoch->is_string()) {
            if (epoch->get<std::string>() != "start")
                throw ScenarioError(where + ".epoch: \"start\" or a Unix time in seconds");
        } else {
            epochOffset = WallClockS() - Number(*epoch, where + ".epoch");
        }
    }
    RequireNoOtherKeys(rest, where);
    stand->startMono_ = MonoNow();
    stand->startClockS_ = epochOffset;
    return stand;
}

double FlowStand::ClockS(MonoTime now) const
{
    return startClockS_ + std::chrono::duration<double>(now - startMono_).count();
}

double FlowStand::ScheduledFlow(double t, const Level*& level) const
{
    level = nullptr;
    if (levels_.empty()) return 0;
    if (t < 0) t = 0; // an epoch still to come: the first level
    const bool firstPass = t < periodS_;
    if (!firstPass && !cycle_) {
        level = &levels_.back();
        return level->flow;
    }
    double at = firstPass ? t : std::fmod(t, periodS_);
    std::size_t i = 0;
    while (i + 1 < levels_.size() && at >= levels_[i].holdS) {
        at -= levels_[i].holdS;
        ++i;
    }
    level = &levels_[i];
    const double ramp = std::min(rampS_, levels_[i].holdS);
    if (at >= ramp) return levels_[i].flow;
    // The stand starts from rest; later levels start from the one before (the last, once it cycles).
    const double from = i > 0 ? levels_[i - 1].flow : firstPass ? 0.0 : levels_.back().flow;
    return from + (levels_[i].flow - from) * at / ramp;
}

double FlowStand::TrueFlow(MonoTime now) const
{
    const double t = ClockS(now);
    const Level* level = set_ ? &*set_ : nullptr;
    const double flow = set_ ? set_->flow : ScheduledFlow(t, level);
    if (!level || level->noisePct == 0) return flow;
    return flow * (1 + level->noisePct / 100 * TickNoise(seed_, t));
}

std::string FlowStand::Command(const std::string& line, MonoTime now)
{
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "flow") {
        Level level;
        std::string extra;
        if (!(in >> level.flow) || !std::isfinite(level.flow)) return "ERROR flow: give the flow, as in \"flow 12.5\"";
        if (in >> level.noisePct) {
            if (!(level.noisePct >= 0)) return "ERROR flow: the noise in % must not be negative";
        } else if (!in.eof()) {
            return "ERROR flow: give the flow and, if any, the noise in %";
        }
        in.clear();
        if (in >> extra) return "ERROR flow: unexpected \"" + extra + "\"";
        set_ = level;
        return "OK flow " + Format(level.flow) + (level.noisePct ? " noise " + Format(level.noisePct) : "");
    }
    if (word == "schedule") {
        set_.reset();
        return levels_.empty() ? "OK schedule (empty: flow 0)" : "OK schedule";
    }
    if (word == "status") {
        const json d = Dump(now);
        return "STAND flow " + Format(d["true_flow"].get<double>()) + " mode " + d["mode"].get<std::string>() +
               " clock " + Format(d["clock_s"].get<double>());
    }
    if (word.empty()) return {};
    return "ERROR unknown command \"" + word + "\" (flow Q [NOISE_PCT], schedule, status)";
}

json FlowStand::Dump(MonoTime now) const
{
    return {{"true_flow", TrueFlow(now)}, {"mode", set_ ? "set" : "schedule"}, {"clock_s", ClockS(now)}};
}

// --- The meters on the stand --------------------------------------------------------------------

std::shared_ptr<StandMeter> StandMeter::Load(const json& v, std::shared_ptr<FlowStand> stand, std::uint32_t seed,
                                             std::size_t index, const std::string& where)
{
    RequireObject(v, where);
    if (!stand) throw ScenarioError(where + ": the line has no \"stand\" (give line.stand)");
    json rest = v;
    const auto meterSeed = static_cast<std::uint32_t>(SplitMix((std::uint64_t{seed} << 32) | (index + 1)));
    std::shared_ptr<StandMeter> m(new StandMeter(std::move(stand), meterSeed));
    if (auto reference = Take(rest, "reference")) m->reference_ = Boolean(*reference, where + ".reference");
    auto error = Take(rest, "error");
    auto errorPct = Take(rest, "error_pct");
    if (m->reference_ && error) throw ScenarioError(where + ".error: a reference has \"error_pct\" instead");
    if (!m->reference_ && errorPct)
        throw ScenarioError(where + ".error_pct: only a reference (\"reference\": true); a meter under test has "
                                    "an \"error\" curve");
    if (errorPct) m->errorPct_ = Number(*errorPct, where + ".error_pct");
    if (error) {
        const std::string at = where + ".error";
        if (!error->is_array() || error->empty())
            throw ScenarioError(at + ": expected a list of [q_true/Gmax, error in %] pairs");
        for (std::size_t i = 0; i < error->size(); ++i) {
            const std::string pi = at + "[" + std::to_string(i) + "]";
            const json& pair = (*error)[i];
            if (!pair.is_array() || pair.size() != 2) throw ScenarioError(pi + ": expected [q_true/Gmax, error in %]");
            const double q = Number(pair[0], pi + "[0]");
            const double e = Number(pair[1], pi + "[1]");
            if (e <= -100) throw ScenarioError(pi + "[1]: an error of -100 % or less leaves no flow");
            if (!m->error_.empty() && q <= m->error_.back().first)
                throw ScenarioError(pi + "[0]: the flows must increase");
            m->error_.emplace_back(q, e);
        }
    }
    if (auto noise = Take(rest, "noise_pct")) m->noisePct_ = NonNegative(*noise, where + ".noise_pct");
    if (auto channel = Take(rest, "channel")) {
        m->channel_ = static_cast<int>(ToUnsigned(*channel, 2, where + ".channel"));
        if (m->channel_ == 0) throw ScenarioError(where + ".channel: 1 or 2");
    }
    if (auto gmax = Take(rest, "gmax")) {
        m->gmax_ = Number(*gmax, where + ".gmax");
        if (*m->gmax_ <= 0) throw ScenarioError(where + ".gmax: must be above 0");
    }
    if (auto scale = Take(rest, "scale")) {
        m->scale_ = Number(*scale, where + ".scale");
        if (m->scale_ <= 0) throw ScenarioError(where + ".scale: must be above 0");
    }
    RequireNoOtherKeys(rest, where);
    return m;
}

void StandMeter::Check(const Meter& meter, const std::string& where) const
{
    const auto cal = meter.StandState(channel_);
    if (!cal)
        throw ScenarioError(where + ": a " + meter.Protocol() + " meter of model \"" + meter.Model() +
                            "\" has no live flow on channel " + std::to_string(channel_) + " that the stand can drive");
    const bool needsGmax = !reference_ || cal->form != LiveForm::Flow;
    if (needsGmax && !gmax_ && !(cal->gmax > 0))
        throw ScenarioError(where + ": the meter keeps no Gmax of its own; give \"gmax\" here");
}

double StandMeter::ErrorPct(double fraction) const
{
    if (error_.empty()) return 0;
    if (fraction <= error_.front().first) return error_.front().second;
    if (fraction >= error_.back().first) return error_.back().second;
    for (std::size_t i = 1; i < error_.size(); ++i) {
        const auto& [q1, e1] = error_[i];
        if (fraction <= q1) {
            const auto& [q0, e0] = error_[i - 1];
            return e0 + (e1 - e0) * (fraction - q0) / (q1 - q0);
        }
    }
    return error_.back().second;
}

void StandMeter::Refresh(Meter& meter, MonoTime now)
{
    const auto cal = meter.StandState(channel_);
    if (!cal) return;
    const double gmax = gmax_ ? *gmax_ : cal->gmax;
    const double k0 = cal->k[0], ku = cal->k[1];
    const double q = stand_->TrueFlow(now);
    const double noise = 1 + noisePct_ / 100 * noise_.Next();

    double x = 0, corrected = 0, flow = 0;
    if (reference_) {
        // A reference shows the true flow whatever its tables hold: what it measures is what, once
        // corrected, gives that flow.
        flow = q * (1 + errorPct_ / 100) * noise;
        corrected = gmax > 0 ? flow / gmax : 0;
        x = cal->form == LiveForm::RawReading ? UncorrectFraction(corrected, *cal) : corrected;
    } else {
        const double fraction = gmax > 0 ? q / gmax : 0;
        x = fraction * (1 + ErrorPct(fraction) / 100) * noise;
        corrected = CorrectFraction(x, *cal);
        flow = corrected * gmax;
    }
    double value = 0;
    switch (cal->form) {
    case LiveForm::RawReading: value = ku != 0 ? x * kRawScale / ku + k0 : k0; break;
    case LiveForm::Fraction: value = corrected; break;
    case LiveForm::Flow: value = flow; break;
    case LiveForm::ZeroGain: value = ku != 0 ? corrected / ku + k0 : k0; break;
    }
    ++reads_;
    lastTrue_ = q;
    lastX_ = x;
    lastValue_ = Finite(value * scale_);
    meter.PutLiveFlow(channel_, lastValue_);
}

json StandMeter::Dump() const
{
    json d = {{"role", reference_ ? "reference" : "meter"}, {"channel", channel_}, {"reads", reads_}};
    if (reads_ == 0) return d;
    d["true_flow"] = lastTrue_;
    d["x"] = lastX_;
    d["reported"] = lastValue_;
    return d;
}

} // namespace metersim
