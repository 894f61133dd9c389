#include "CalibrationMath.h"

#include "NumberText.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A double as the single a meter keeps; beyond the range of singles it becomes
// an infinity of its sign (which no table accepts) rather than an undefined
// conversion.
float ToSingle(double v)
{
    if (std::isfinite(v) && std::fabs(v) > std::numeric_limits<float>::max())
        return v < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

// The eight points of a table as the curve takes them: x[j] = K[j+2] and
// y[j] = Obr[j+2].
struct PointPairs {
    std::array<double, TablePointCount> X, Y;
    explicit PointPairs(const CoefficientTables& t)
    {
        for (std::size_t j = 0; j < TablePointCount; ++j) {
            X[j] = t.K[j + 2];
            Y[j] = t.Obr[j + 2];
        }
    }
};

// The curve applied to the magnitude of v, with v's sign.
template <class Curve> double KeepingSign(double v, Curve curve)
{
    return v < 0 ? -curve(-v) : curve(v);
}

} // namespace

// --- The correction through the point table ------------------------------------

double RawReadingFraction(double G, const CoefficientTables& t)
{
    return (G - static_cast<double>(t.K[0])) * static_cast<double>(t.K[1]) / 26214.0;
}

double CorrectedFraction(double x, const CoefficientTables& t)
{
    // The same cases in the same order and the same arithmetic as the poller's
    // CalibrationCurveFlow, so that both give the same flow.
    const PointPairs p(t);
    return KeepingSign(x, [&](double f) {
        for (int j = 0; j <= 6; ++j) {
            if (j == 0 && f <= p.X[0]) return f * p.Y[0] / p.X[0];
            if (p.X[j] < f && f <= p.X[j + 1])
                return p.Y[j] + (p.Y[j + 1] - p.Y[j]) * (f - p.X[j]) / (p.X[j + 1] - p.X[j]);
            if (j == 6 && f > p.X[7]) return p.Y[7] + (2 - p.Y[7]) * (f - p.X[7]) / (2 - p.X[7]);
        }
        return f;
    });
}

std::string PointTableFault(const CoefficientTables& t)
{
    for (std::size_t p = 1; p <= TablePointCount; ++p) {
        for (int table = 0; table < 2; ++table) {
            const auto& values = table == 0 ? t.K : t.Obr;
            const std::string name = table == 0 ? "K" : "Obr";
            const float v = values[p + 1];
            const std::string what = name + " точки " + std::to_string(p) + " = " + ShortestText(v);
            if (!std::isfinite(v)) return what + " не число";
            if (p == 1 && !(v > 0)) return what + " не больше нуля";
            if (p > 1 && !(v > values[p]))
                return what + " не больше " + name + " точки " + std::to_string(p - 1) + " = " +
                       ShortestText(values[p]);
            if (p == TablePointCount && !(v < 2)) return what + " не меньше 2 (двух Gmax)";
        }
    }
    return {};
}

bool UncorrectedFraction(double y, const CoefficientTables& t, double& x, std::string& error)
{
    if (std::string fault = PointTableFault(t); !fault.empty()) {
        error = "Коррекцию по таблице точек нельзя обратить: " + fault;
        return false;
    }
    if (!std::isfinite(y)) {
        error = "Исправленный расход не число";
        return false;
    }
    // The cases of the correction, with the roles of the two tables exchanged:
    // at a point itself the segment below it applies, as in the correction.
    const PointPairs p(t);
    x = KeepingSign(y, [&](double f) {
        if (f <= p.Y[0]) return f * p.X[0] / p.Y[0];
        if (f > p.Y[7]) return p.X[7] + (2 - p.X[7]) * (f - p.Y[7]) / (2 - p.Y[7]);
        int j = 0;
        while (!(f <= p.Y[j + 1]))
            ++j;
        return p.X[j] + (p.X[j + 1] - p.X[j]) * (f - p.Y[j]) / (p.Y[j + 1] - p.Y[j]);
    });
    return true;
}

// --- The new point table ------------------------------------------------------------

bool NewPointTable(const CoefficientTables& current, const std::vector<MeasuredPoint>& points, CoefficientTables& table,
                   std::string& error)
{
    if (points.size() != TablePointCount) {
        error = "Для новой таблицы нужно " + std::to_string(TablePointCount) + " точек, измерено " +
                std::to_string(points.size());
        return false;
    }
    if (!(std::isfinite(current.Gmax) && current.Gmax > 0)) {
        error = "Gmax = " + ShortestText(current.Gmax) + ": новую таблицу не построить";
        return false;
    }
    CoefficientTables next = current;
    for (std::size_t p = 0; p < TablePointCount; ++p) {
        next.K[p + 2] = ToSingle(points[p].MeterFraction);
        next.Obr[p + 2] = ToSingle(points[p].ReferenceFlow / static_cast<double>(current.Gmax));
    }
    // Checked as singles: two means that differ may still round to one single.
    if (std::string fault = PointTableFault(next); !fault.empty()) {
        error = "Новая таблица точек отвергнута: " + fault;
        return false;
    }
    table = next;
    return true;
}

// --- Error, accuracy class, uncertainty and verdict ----------------------------------

double ErrorPct(double meterFlow, double referenceFlow)
{
    if (!(std::isfinite(referenceFlow) && referenceFlow > 0)) return NaN;
    return (meterFlow - referenceFlow) / referenceFlow * 100.0;
}

bool IsAccuracyClass(int accuracyClass)
{
    return accuracyClass >= 1 && accuracyClass <= 3;
}

double MaxPermissibleErrorPct(int accuracyClass, double q, double qp)
{
    struct Limit {
        double Base, Share, Cap;
    };
    static constexpr Limit limits[3] = {{1.0, 0.01, 3.5}, {2.0, 0.02, 5.0}, {3.0, 0.05, 5.0}};
    if (!IsAccuracyClass(accuracyClass))
        throw std::invalid_argument("accuracy class " + std::to_string(accuracyClass) + " is not 1, 2 or 3");
    if (!(std::isfinite(q) && q > 0 && std::isfinite(qp) && qp > 0)) return NaN;
    const Limit& l = limits[accuracyClass - 1];
    return std::min(l.Base + l.Share * qp / q, l.Cap);
}

double ExpandedUncertaintyPct(double referenceUncertaintyPct, const SampleStats& reference, const SampleStats& meter)
{
    auto repeatability = [](const SampleStats& s) {
        if (s.N == 0) return NaN;
        if (s.N == 1) return 0.0;
        return s.CvPct / std::sqrt(static_cast<double>(s.N));
    };
    const double stated = referenceUncertaintyPct / 2;
    const double r = repeatability(reference);
    const double m = repeatability(meter);
    return 2 * std::sqrt(stated * stated + r * r + m * m);
}

Verdict Judge(double errorPct, double uncertaintyPct, double mpePct)
{
    if (!(std::isfinite(errorPct) && std::isfinite(uncertaintyPct) && uncertaintyPct >= 0 && std::isfinite(mpePct)))
        return Verdict::Undetermined;
    const double e = std::fabs(errorPct);
    if (e + uncertaintyPct <= mpePct) return Verdict::Pass;
    if (e - uncertaintyPct > mpePct) return Verdict::Fail;
    return Verdict::Undetermined;
}

const char* VerdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass: return "годен";
    case Verdict::Fail: return "не годен";
    default: return "не определено";
    }
}

bool MeterPasses(const std::vector<Verdict>& points)
{
    return !points.empty() && std::all_of(points.begin(), points.end(), [](Verdict v) { return v == Verdict::Pass; });
}

// --- Series of timed samples ---------------------------------------------------------

SampleStats StatsOf(std::span<const Sample> samples)
{
    SampleStats s;
    s.N = samples.size();
    if (samples.empty()) {
        s.Mean = s.Sigma = s.Min = s.Max = s.CvPct = NaN;
        return s;
    }
    double sum = 0;
    s.Min = s.Max = samples.front().Value;
    for (const Sample& x : samples) {
        sum += x.Value;
        s.Min = std::min(s.Min, x.Value);
        s.Max = std::max(s.Max, x.Value);
    }
    s.Mean = sum / static_cast<double>(s.N);
    // The squares about the mean (a second pass: no cancellation of large sums).
    double squares = 0;
    for (const Sample& x : samples)
        squares += (x.Value - s.Mean) * (x.Value - s.Mean);
    s.Sigma = s.N > 1 ? std::sqrt(squares / static_cast<double>(s.N - 1)) : 0.0;
    s.CvPct = s.Mean != 0 ? s.Sigma / std::fabs(s.Mean) * 100.0 : NaN;
    return s;
}

SampleSeries SeriesOf(std::vector<Sample> samples)
{
    SampleSeries series;
    series.Samples = std::move(samples);
    series.Stats = StatsOf(series.Samples);
    return series;
}
