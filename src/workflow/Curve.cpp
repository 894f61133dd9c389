#include "Curve.h"

#include "CalibrationRun.h"
#include "DeviceCatalogue.h"

#include <algorithm>
#include <cmath>
#include <charconv>

namespace {

std::string DisplayName(std::uint8_t code)
{
    const DeviceTypeInfo* info = FindDeviceType(code);
    return info ? std::string(info->DisplayName) : std::string();
}

// A deviation that has no finite value is drawn at 0.
double Finite(double y) { return std::isfinite(y) ? y : 0.0; }

} // namespace

CurveVariant CurveVariantOf(std::uint8_t typeCode)
{
    return MeterTypeOf(typeCode).Curve;
}

double TruncateToFourDecimals(double value)
{
    const float scaled = static_cast<float>(value * 10000.0);
    if (!std::isfinite(scaled)) return 0.0;
    return std::trunc(static_cast<double>(scaled)) / 10000.0;
}

std::vector<CurvePoint> CurvePoints(const CoefficientSet& set, CurveVariant variant)
{
    const auto& K = set.K;
    const auto& Obr = set.Obr;
    std::vector<CurvePoint> points;
    if (variant == CurveVariant::GZU) {
        // The line through points 2 and 8 (indexes 3 and 9) that maps the
        // measured values onto the reference values, kept as 4-byte floats.
        const double run = static_cast<double>(K[9]) - K[3];
        const float a = static_cast<float>((static_cast<double>(Obr[9]) - Obr[3]) / run);
        const float b = static_cast<float>(Obr[3] - static_cast<double>(a) * K[3]);
        const bool line = run != 0.0 && std::isfinite(a) && std::isfinite(b);
        for (int i = 4; i <= 9; ++i) {
            double y = 0.0;
            if (line && Obr[i] != 0.0f)
                y = TruncateToFourDecimals(((static_cast<double>(a) * K[i] + b) / Obr[i] - 1.0) * 100.0);
            points.push_back({i - 1, Finite(y)});
        }
        return points;
    }
    const double spread = static_cast<double>(K[9]) - K[2];
    const double factor = spread != 0.0 ? Obr[9] / spread : 0.0;
    for (int i = 2; i <= 9; ++i) {
        double y = 0.0;
        if (Obr[i] != 0.0f) {
            if (variant == CurveVariant::KU)
                y = spread != 0.0 ? (factor * K[i] / Obr[i] - 1.0) * 100.0 : 0.0;
            else
                y = (static_cast<double>(K[i]) / Obr[i] - 1.0) * 100.0;
        }
        points.push_back({i - 1, Finite(y)});
    }
    return points;
}

CurveScales CurveScalesFor(const std::vector<CurvePoint>& points)
{
    double m = 0.0;
    for (const CurvePoint& p : points) m = std::max(m, std::fabs(p.Y));
    if (m == 0.0 || !std::isfinite(m)) m = 1.0;
    CurveScales s;
    s.YMin = -1.2 * m;
    s.YMax = 1.2 * m;
    s.YStep = 1.2 * m / 20.0;
    return s;
}

std::string CurveTitle(const DeviceSlot& slot)
{
    return "Кривая калибровки " + DisplayName(slot.TypeCode()) + " №" + slot.SerialText();
}

std::string CurveFileName(const DeviceSlot& slot)
{
    return DisplayName(slot.TypeCode()) + "_" + slot.SerialText() + "_" + std::to_string(slot.Channel()) + ".wmf";
}

std::string FormatCurveValue(double value)
{
    if (!std::isfinite(value)) return "0";
    const bool negative = value < 0;
    const double thousandths = std::round(std::fabs(value) * 1000.0);
    char digits[400];
    const auto r = std::to_chars(digits, digits + sizeof digits, thousandths, std::chars_format::fixed, 0);
    std::string whole(digits, r.ptr);
    if (whole.size() < 4) whole.insert(0, 4 - whole.size(), '0');
    std::string fraction = whole.substr(whole.size() - 3);
    whole.erase(whole.size() - 3);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    std::string grouped;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) grouped += ',';
        grouped += whole[i];
    }
    std::string text = grouped + (fraction.empty() ? "" : "." + fraction);
    if (negative && text != "0") text.insert(0, "-");
    return text;
}

RunDeviation RunDeviationOf(const CalibrationResult& result)
{
    RunDeviation d;
    d.PointCount = static_cast<int>(result.Points.size());
    for (std::size_t i = 0; i < result.Points.size(); ++i) {
        const CalibrationPoint& p = result.Points[i];
        const int x = static_cast<int>(i) + 1;
        if (p.AsFound && std::isfinite(p.AsFound->ErrorPct)) d.AsFound.push_back({x, p.AsFound->ErrorPct});
        if (p.AsLeft && std::isfinite(p.AsLeft->ErrorPct)) d.AsLeft.push_back({x, p.AsLeft->ErrorPct});
        const std::optional<PassPoint>& limit = p.AsLeft ? p.AsLeft : p.AsFound;
        if (limit && std::isfinite(limit->MpePct)) d.Mpe.push_back({x, std::fabs(limit->MpePct)});
    }
    return d;
}

CurveScales RunDeviationScales(const RunDeviation& deviation)
{
    std::vector<CurvePoint> all = deviation.AsFound;
    all.insert(all.end(), deviation.AsLeft.begin(), deviation.AsLeft.end());
    all.insert(all.end(), deviation.Mpe.begin(), deviation.Mpe.end());
    CurveScales s = CurveScalesFor(all);
    s.XMax = std::max(deviation.PointCount, 1) + 0.5;
    return s;
}
