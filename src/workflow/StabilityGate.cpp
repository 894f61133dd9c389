#include "StabilityGate.h"

#include "AtomicFile.h"
#include "CoefficientFiles.h"
#include "NumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>
#include <utility>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

bool Positive(double v)
{
    return std::isfinite(v) && v > 0;
}

// A figure of a message: at most four significant digits, "." as the decimal
// point whatever the locale.
std::string Figure(double v)
{
    if (std::isnan(v)) return "нет данных";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 4);
    return std::string(buf, r.ptr);
}

// The samples of the last window ending at now.
std::span<const Sample> LastWindow(const std::vector<Sample>& series, double now, double window)
{
    auto first = std::lower_bound(series.begin(), series.end(), now - window,
                                  [](const Sample& s, double t) { return s.Time < t; });
    return {first, series.end()};
}

// The CV and mean of a window, not a number with fewer than two samples.
SampleStats WindowStats(std::span<const Sample> window)
{
    SampleStats s = StatsOf(window);
    if (s.N < 2) s.Mean = s.CvPct = NaN;
    return s;
}

} // namespace

bool CheckGateSettings(const GateSettings& s, std::string& error)
{
    const std::pair<double, const char*> positive[] = {{s.TolerancePct, "Допуск расхода"},
                                                       {s.WindowS, "Окно усреднения"},
                                                       {s.CvPct, "Граница коэффициента вариации"},
                                                       {s.PointTimeoutS, "Время ожидания точки"}};
    for (const auto& [value, name] : positive)
        if (!Positive(value)) {
            error = std::string(name) + ": нужно число больше нуля, задано " + Figure(value);
            return false;
        }
    if (!(std::isfinite(s.SettleS) && s.SettleS >= 0)) {
        error = "Время успокоения: нужно число не меньше нуля, задано " + Figure(s.SettleS);
        return false;
    }
    if (s.PointTimeoutS < s.SettleS + s.WindowS) {
        error = "Время ожидания точки (" + Figure(s.PointTimeoutS) +
                " с) меньше времени успокоения и окна усреднения вместе (" + Figure(s.SettleS + s.WindowS) +
                " с): ни одна точка не станет стабильной";
        return false;
    }
    return true;
}

StabilityGate::StabilityGate(const GateSettings& settings) : FSettings(settings)
{
    std::string error;
    if (!CheckGateSettings(settings, error)) throw std::invalid_argument(error);
}

void StabilityGate::Begin(double target, double time)
{
    if (!std::isfinite(time)) throw std::invalid_argument("the start of a point is not a finite time");
    if (!Positive(target)) throw std::invalid_argument("the target of a point is not a positive flow");
    FBegun = true;
    FTarget = target;
    FStart = FNow = time;
    FInToleranceSince.reset();
    FState = GateState::NotAtPoint;
    FReference.clear();
    FMeter.clear();
    FTaken.reset();
}

void StabilityGate::Accept(double time)
{
    if (!FBegun) throw std::invalid_argument("a sample before the start of a point");
    if (!std::isfinite(time) || time < FNow) throw std::invalid_argument("the time of a sample went back");
    FNow = time;
}

void StabilityGate::AddReference(double time, double flow)
{
    if (Finished()) return;
    Accept(time);
    FReference.push_back({time, flow});
    // A reading that is not a number is outside the tolerance.
    if (std::fabs(flow - FTarget) <= std::fabs(FTarget) * FSettings.TolerancePct / 100) {
        if (!FInToleranceSince) FInToleranceSince = time;
    } else {
        FInToleranceSince.reset();
    }
    Evaluate();
}

void StabilityGate::AddMeter(double time, double flow)
{
    if (Finished()) return;
    Accept(time);
    FMeter.push_back({time, flow});
    Evaluate();
}

void StabilityGate::Advance(double time)
{
    if (Finished()) return;
    Accept(time);
    Evaluate();
}

void StabilityGate::Evaluate()
{
    FState = GateState::NotAtPoint;
    if (FInToleranceSince) {
        FState = GateState::Settling;
        // After the settling time a whole window in tolerance: every reference
        // sample of the window came after the settling.
        if (FNow - *FInToleranceSince >= FSettings.SettleS + FSettings.WindowS) {
            auto reference = LastWindow(FReference, FNow, FSettings.WindowS);
            auto meter = LastWindow(FMeter, FNow, FSettings.WindowS);
            const SampleStats r = WindowStats(reference);
            const SampleStats m = WindowStats(meter);
            // Comparisons with a CV that is not a number fail.
            if (r.CvPct < FSettings.CvPct && m.CvPct < FSettings.CvPct) {
                FState = GateState::Stable;
                FTaken = TakenPoint{FTarget, FNow, false, SeriesOf({reference.begin(), reference.end()}),
                                    SeriesOf({meter.begin(), meter.end()})};
                return;
            }
        }
    }
    if (FNow - FStart >= FSettings.PointTimeoutS) FState = GateState::TimedOut;
}

std::optional<TakenPoint> StabilityGate::TakeByHand()
{
    if (FTaken) return FTaken;
    if (!FBegun || FState == GateState::TimedOut) return std::nullopt;
    auto reference = LastWindow(FReference, FNow, FSettings.WindowS);
    auto meter = LastWindow(FMeter, FNow, FSettings.WindowS);
    if (reference.empty() || meter.empty()) return std::nullopt;
    FTaken = TakenPoint{FTarget, FNow, true, SeriesOf({reference.begin(), reference.end()}),
                        SeriesOf({meter.begin(), meter.end()})};
    return FTaken;
}

GateFigures StabilityGate::Figures() const
{
    GateFigures f;
    f.State = FState;
    f.Target = FTarget;
    f.LastReference = FReference.empty() ? NaN : FReference.back().Value;
    const SampleStats r = WindowStats(LastWindow(FReference, FNow, FSettings.WindowS));
    const SampleStats m = WindowStats(LastWindow(FMeter, FNow, FSettings.WindowS));
    f.ReferenceMean = r.Mean;
    f.MeterMean = m.Mean;
    f.ReferenceCvPct = r.CvPct;
    f.MeterCvPct = m.CvPct;
    f.TimeInToleranceS = FInToleranceSince ? FNow - *FInToleranceSince : 0.0;
    f.ElapsedS = FNow - FStart;
    return f;
}

std::string GateTimeoutText(int point, const GateFigures& f, const GateSettings& s)
{
    std::string text = "Точка " + std::to_string(point) + " не стала стабильной за " + Figure(s.PointTimeoutS) +
                       " с: цель " + Figure(f.Target) + ", образцовый расход " + Figure(f.LastReference);
    if (std::isfinite(f.LastReference) && f.Target != 0)
        text += " (" + Figure((f.LastReference - f.Target) / f.Target * 100) + " % от цели, допуск ±" +
                Figure(s.TolerancePct) + " %)";
    text += ", в допуске " + Figure(f.TimeInToleranceS) + " с из нужных " + Figure(s.SettleS + s.WindowS) +
            " с, КВ образцового " + Figure(f.ReferenceCvPct) + " %, КВ прибора " + Figure(f.MeterCvPct) +
            " % (граница " + Figure(s.CvPct) + " %)";
    return text;
}

// --- The targets of a run -------------------------------------------------------------

bool TargetsFromTable(const CoefficientTables& t, std::vector<double>& flows, std::string& error)
{
    const std::string refused = "Точки расхода из таблицы Obr не построить: ";
    if (!Positive(t.Gmax)) {
        error = refused + "Gmax = " + ShortestText(t.Gmax) + " не больше нуля";
        return false;
    }
    std::vector<std::pair<double, std::size_t>> points; // flow, point number
    for (std::size_t p = 1; p <= TablePointCount; ++p) {
        const float obr = t.Obr[p + 1];
        if (!Positive(obr)) {
            error = refused + "Obr точки " + std::to_string(p) + " = " + ShortestText(obr) + " не больше нуля";
            return false;
        }
        points.emplace_back(static_cast<double>(obr) * static_cast<double>(t.Gmax), p);
    }
    std::stable_sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < points.size(); ++i)
        if (points[i].first == points[i - 1].first) {
            const auto [a, b] = std::minmax(points[i - 1].second, points[i].second);
            error = refused + "Obr точек " + std::to_string(a) + " и " + std::to_string(b) + " совпадают (" +
                    ShortestText(t.Obr[a + 1]) + ")";
            return false;
        }
    flows.clear();
    for (const auto& point : points)
        flows.push_back(point.first);
    return true;
}

namespace {

// The reason a profile is refused, naming the line; empty when it is read.
std::string ProfileFault(std::string_view text, std::vector<double>& flows)
{
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (text.substr(0, bom.size()) == bom) text.remove_prefix(bom.size());
    std::vector<double> read;
    const std::vector<std::string> lines = SplitLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        line = line.substr(0, line.find('#'));
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line.empty()) continue;
        const std::string where = "строка " + std::to_string(i + 1) + ": ";
        double flow = 0;
        if (!ParseNumber(line, flow))
            return where + "«" + std::string(line) + "» не число" +
                   (line.find(',') != std::string_view::npos ? " (десятичный разделитель — точка)" : "");
        if (!(flow > 0)) return where + "расход " + std::string(line) + " не больше нуля";
        read.push_back(flow);
    }
    if (read.empty()) return "в профиле нет ни одного расхода";
    flows = std::move(read);
    return {};
}

} // namespace

bool ParseProfile(std::string_view text, std::vector<double>& flows, std::string& error)
{
    std::string fault = ProfileFault(text, flows);
    if (fault.empty()) return true;
    error = "Неверный профиль: " + fault;
    return false;
}

bool ReadProfile(const std::string& path, std::vector<double>& flows, std::string& error)
{
    std::string bytes;
    if (!ReadWholeFile(path, bytes, error, 1024u * 1024u)) return false;
    std::string fault = ProfileFault(bytes, flows);
    if (fault.empty()) return true;
    error = "Неверный файл профиля " + path + ": " + fault;
    return false;
}
