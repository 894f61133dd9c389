#include "CertificateLayout.h"

#include "Curve.h"
#include "DeviceCatalogue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <pwd.h>
#include <unistd.h>

namespace {

// Fixed notation with "." whatever the locale; "-" for a value that is not a number.
std::string Fixed(double value, int decimals)
{
    if (!std::isfinite(value)) return "-";
    if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0.0; // no "-0.000"
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

std::string TypeName(std::uint8_t code)
{
    const DeviceTypeInfo* info = FindDeviceType(code);
    return info ? std::string(info->DisplayName) : "тип " + std::to_string(code);
}

// Texts and lines of the page, in millimetres.
struct Page {
    SheetPage& page;
    void Text(double x, double y, std::string text, int points = 10, bool bold = false)
    {
        page.Texts.push_back({x, y, points, std::move(text), bold});
    }
    void Line(double x1, double y1, double x2, double y2, int pen = 3, bool dashed = false)
    {
        page.Lines.push_back({x1, y1, x2, y2, pen, dashed});
    }
};

constexpr double Left = 15, Right = 195;

// The columns of a table of points: their left edges.
constexpr double Columns[] = {15, 24, 48, 72, 96, 116, 138, 158};
constexpr double RowHeight = 5;

// A table of one pass; returns the height it took.
double PassTable(Page& p, double y, const std::string& title, const CalibrationResult& result, RunPass pass)
{
    p.Text(Left, y, title, 11, true);
    y += 6;
    const char* heads[] = {"№", "Q зад.", "Q эт.", "Q изм.", "E, %", "МДП, ±%", "U, %", "Заключение"};
    p.Line(Left, y, Right, y, 4);
    for (std::size_t c = 0; c < std::size(heads); ++c) p.Text(Columns[c] + 1.5, y + 1, heads[c], 9, true);
    y += 6;
    p.Line(Left, y, Right, y, 4);
    const double top = y - 6;
    for (std::size_t i = 0; i < result.Points.size(); ++i) {
        const CalibrationPoint& cp = result.Points[i];
        const std::optional<PassPoint>& pp = pass == RunPass::AsFound ? cp.AsFound : cp.AsLeft;
        p.Text(Columns[0] + 1.5, y + 0.6, std::to_string(i + 1), 9);
        p.Text(Columns[1] + 1.5, y + 0.6, Fixed(cp.Target, 3), 9);
        if (pp) {
            p.Text(Columns[2] + 1.5, y + 0.6, Fixed(pp->Reference.Stats.Mean, 4), 9);
            p.Text(Columns[3] + 1.5, y + 0.6, Fixed(pp->Meter.Stats.Mean, 4), 9);
            p.Text(Columns[4] + 1.5, y + 0.6, Fixed(pp->ErrorPct, 3), 9);
            p.Text(Columns[5] + 1.5, y + 0.6, Fixed(pp->MpePct, 2), 9);
            p.Text(Columns[6] + 1.5, y + 0.6, Fixed(pp->UPct, 2), 9);
            p.Text(Columns[7] + 1.5, y + 0.6, VerdictText(pp->PointVerdict), 9, pp->PointVerdict != Verdict::Pass);
        } else {
            p.Text(Columns[2] + 1.5, y + 0.6, "не измерена", 9);
        }
        y += RowHeight;
        p.Line(Left, y, Right, y, 2);
    }
    for (double x : Columns) p.Line(x, top, x, y, 2);
    p.Line(Right, top, Right, y, 2);
    return y;
}

// A step of 1, 2 or 5 times a power of ten that cuts span into at most about six parts.
double NiceStep(double span)
{
    const double raw = span / 6.0;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw) return m * power;
    return 10.0 * power;
}

void Marker(Page& p, double x, double y, bool square)
{
    if (square) {
        const double r = 0.9;
        p.Line(x - r, y - r, x + r, y - r, 4);
        p.Line(x + r, y - r, x + r, y + r, 4);
        p.Line(x + r, y + r, x - r, y + r, 4);
        p.Line(x - r, y + r, x - r, y - r, 4);
    } else {
        const double r = 1.1;
        p.Line(x - r, y - r, x + r, y + r, 5);
        p.Line(x - r, y + r, x + r, y - r, 5);
    }
}

// The deviation of both passes on one chart, with the limits ± MPE; returns its bottom.
double DeviationChart(Page& p, double y, const CalibrationResult& result)
{
    p.Text(Left, y, "Погрешность прибора в точках калибровки", 11, true);
    y += 12;
    const RunDeviation d = RunDeviationOf(result);
    const CurveScales s = RunDeviationScales(d);
    const double step = NiceStep(s.YMax - s.YMin);
    const double yMax = std::ceil(s.YMax / step - 1e-9) * step, yMin = -yMax;
    const double x0 = 32, x1 = 140, y0 = y, y1 = y + 48;
    auto X = [&](double v) { return x0 + (v - s.XMin) / (s.XMax - s.XMin) * (x1 - x0); };
    auto Y = [&](double v) { return y1 - (v - yMin) / (yMax - yMin) * (y1 - y0); };
    // Frame, grid and marks.
    p.Line(x0, y0, x1, y0, 3);
    p.Line(x1, y0, x1, y1, 3);
    p.Line(x1, y1, x0, y1, 3);
    p.Line(x0, y1, x0, y0, 3);
    const int decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : 2;
    for (double v = yMin; v <= yMax + step / 2; v += step) {
        const double at = Y(v);
        const bool zero = std::fabs(v) < step / 2;
        if (at > y0 + 0.1 && at < y1 - 0.1) p.Line(x0, at, x1, at, zero ? 4 : 1);
        p.Text(x0 - 12, at - 1.6, Fixed(zero ? 0.0 : v, decimals), 8);
    }
    for (int i = 1; i <= d.PointCount; ++i) {
        p.Line(X(i), y1, X(i), y1 + 1.2, 2);
        p.Text(X(i) - 0.8, y1 + 1.5, std::to_string(i), 8);
    }
    p.Text(x0 - 12, y0 - 5, "E, %", 8);
    p.Text(x1 - 20, y1 + 5, "номер точки", 8);
    // The limits.
    for (std::size_t i = 1; i < d.Mpe.size(); ++i)
        for (double sign : {1.0, -1.0})
            p.Line(X(d.Mpe[i - 1].X), Y(sign * d.Mpe[i - 1].Y), X(d.Mpe[i].X), Y(sign * d.Mpe[i].Y), 3, true);
    // The passes: as found dashed with crosses, as left solid with squares.
    auto Curve = [&](const std::vector<CurvePoint>& points, bool asLeft) {
        for (std::size_t i = 1; i < points.size(); ++i)
            p.Line(X(points[i - 1].X), Y(points[i - 1].Y), X(points[i].X), Y(points[i].Y), asLeft ? 6 : 5, !asLeft);
        for (const CurvePoint& c : points) Marker(p, X(c.X), Y(c.Y), asLeft);
    };
    Curve(d.AsFound, false);
    Curve(d.AsLeft, true);
    // The legend.
    const double lx = 146;
    double ly = y0 + 2;
    auto Entry = [&](const std::string& text, int pen, bool dashed, int marker) {
        p.Line(lx, ly + 2, lx + 10, ly + 2, pen, dashed);
        if (marker) Marker(p, lx + 5, ly + 2, marker == 2);
        p.Text(lx + 12, ly, text, 9);
        ly += 6;
    };
    if (!d.AsFound.empty()) Entry(result.VerifyOnly ? "при поверке" : "до калибровки", 5, true, 1);
    if (!d.AsLeft.empty()) Entry("после калибровки", 6, false, 2);
    if (!d.Mpe.empty()) Entry("пределы ±МДП", 3, true, 0);
    return y1 + 9;
}

// "годен", "не годен" or "не определено" for the meter: not fit when a point
// fails, fit when every point passes, undetermined otherwise.
std::string MeterVerdict(const CalibrationResult& result)
{
    bool any = false, fail = false, all = true;
    for (const CalibrationPoint& cp : result.Points) {
        const PassPoint* judged = cp.Judged(result.VerifyOnly);
        if (!judged) {
            all = false;
            continue;
        }
        any = true;
        fail = fail || judged->PointVerdict == Verdict::Fail;
        all = all && judged->PointVerdict == Verdict::Pass;
    }
    if (fail) return VerdictText(Verdict::Fail);
    if (any && all) return VerdictText(Verdict::Pass);
    return VerdictText(Verdict::Undetermined);
}

bool Finished(const CalibrationResult& result)
{
    return result.Outcome == RunOutcome::Passed || result.Outcome == RunOutcome::NotPassed;
}

} // namespace

const char* const DecisionRuleText =
    "Правило принятия решения: точка «годен», если |E| + U ≤ МДП; «не годен», если |E| − U > МДП; "
    "иначе «не определено». E — погрешность прибора, МДП — предел допускаемой погрешности класса, "
    "U — расширенная неопределённость (k = 2). Прибор годен, если годны все точки.";

std::string CertificateNumber(const DeviceSlot& meter, std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    char date[16], time[16];
    std::strftime(date, sizeof date, "%Y%m%d", &local);
    std::strftime(time, sizeof time, "%H%M%S", &local);
    std::string serial;
    for (char c : meter.SerialText())
        if (c != ' ' && c != '/' && c != '\\' && c != '\t') serial += c;
    if (serial.empty()) serial = "0";
    return std::string(date) + "-" + serial + "-" + time;
}

std::string CertificateTitle(const CalibrationResult& result)
{
    return result.VerifyOnly ? "СВИДЕТЕЛЬСТВО О ПОВЕРКЕ" : "СВИДЕТЕЛЬСТВО О КАЛИБРОВКЕ";
}

SheetDocument LayoutCertificate(const CalibrationResult& result, const DeviceSlot& meter,
                                const CertificateDetails& details)
{
    SheetDocument doc;
    doc.Title = CertificateTitle(result) + " № " + details.Number;
    doc.Pages.emplace_back();
    Page p{doc.Pages.back()};

    p.Text(Left, 10, CertificateTitle(result), 16, true);
    p.Text(Left, 18, "№ " + details.Number, 12, true);
    p.Text(150, 18, "Дата: " + details.Date, 11);
    p.Line(Left, 25, Right, 25, 6);

    p.Text(Left, 28, "Средство измерений:", 10, true);
    // Types whose read-out takes no version (and a version text that is no
    // number) leave it 0: the certificate then claims none.
    const std::string version =
        meter.SoftwareVersion() > 0 ? ", версия ПО " + Fixed(meter.SoftwareVersion(), 2) : std::string();
    p.Text(62, 28,
           TypeName(meter.TypeCode()) + ", зав. № " + meter.SerialText() + ", канал " + std::to_string(meter.Channel()) +
               version,
           10);
    p.Text(Left, 34, "Эталон:", 10, true);
    p.Text(62, 34,
           result.ReferenceDescription + ", неопределённость ±" + Fixed(result.ReferenceUncertaintyPct, 2) + " %", 10);
    p.Text(Left, 40, "Класс точности:", 10, true);
    const double gmax = result.Before ? result.Before->Gmax : NAN;
    p.Text(62, 40,
           std::to_string(result.AccuracyClass) + ", qp = " + Fixed(result.Qp, 3) + ", Gmax = " + Fixed(gmax, 3) +
               " (расходы — в единицах Gmax прибора)",
           10);

    double y = 48;
    if (result.VerifyOnly) {
        y = PassTable(p, y, "Результаты поверки", result, RunPass::AsFound);
    } else {
        y = PassTable(p, y, "Результаты до калибровки", result, RunPass::AsFound);
        y = PassTable(p, y + 4, "Результаты после калибровки", result, RunPass::AsLeft);
    }
    y = DeviationChart(p, y + 4, result);

    // The rule, in lines that fit the page at 9 points.
    {
        const std::string rule = DecisionRuleText;
        std::vector<std::string> lines;
        std::string line, word;
        auto flush = [&] {
            if (!word.empty()) {
                // About 98 letters to a line of 180 mm at 9 points.
                std::size_t letters = 0;
                for (unsigned char c : line + " " + word) letters += (c & 0xC0) != 0x80;
                if (!line.empty() && letters > 98) {
                    lines.push_back(line);
                    line.clear();
                }
                line += (line.empty() ? "" : " ") + word;
                word.clear();
            }
        };
        for (char c : rule) {
            if (c == ' ') flush();
            else word += c;
        }
        flush();
        if (!line.empty()) lines.push_back(line);
        for (const std::string& l : lines) {
            p.Text(Left, y, l, 9);
            y += 4.5;
        }
    }
    y += 2;
    std::string conclusion;
    if (Finished(result)) {
        conclusion = "Заключение: прибор " + MeterVerdict(result);
        if (!result.VerifyOnly && result.Written) conclusion += "; таблица точек прибора записана";
    } else {
        conclusion = std::string("Заключение: ") + (result.VerifyOnly ? "поверка" : "калибровка") + " не завершена";
        if (!result.VerifyOnly) conclusion += result.Written ? " (таблица точек записана)" : ", прибор не изменён";
    }
    p.Text(Left, y, conclusion, 11, true);
    y += 6;
    if (!Finished(result) && !result.Message.empty()) {
        std::string message = result.Message;
        std::replace(message.begin(), message.end(), '\n', ' ');
        p.Text(Left, y, message, 9);
        y += 5;
    }

    // Signatures.
    y = std::max(y + 10, 252.0);
    p.Text(Left, y - 4, result.VerifyOnly ? "Поверку выполнил" : "Калибровку выполнил", 10);
    p.Line(62, y, 102, y, 2);
    p.Text(76, y + 0.5, "подпись", 8);
    p.Line(110, y, 170, y, 2);
    if (!details.Operator.empty()) p.Text(111, y - 4.5, details.Operator, 10);
    p.Text(135, y + 0.5, "Ф.И.О.", 8);
    p.Text(175, y - 4, "М.П.", 10);

    // The footer.
    p.Line(Left, 268, Right, 268, 6);
    p.Text(Left, 269.5, details.Footer.Address, 9);
    p.Text(Left, 274, details.Footer.Phone, 9);
    p.Text(Left, 278.5, details.Footer.Web, 9);
    return doc;
}

std::string CurrentOperatorName()
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found) {
        std::string full = found->pw_gecos ? found->pw_gecos : "";
        full = full.substr(0, full.find(','));
        if (!full.empty()) return full;
        if (found->pw_name && *found->pw_name) return found->pw_name;
    }
    const char* login = ::getlogin();
    return login ? login : "";
}

CertificateDetails CertificateDetailsNow(const DeviceSlot& meter, const SheetFooter& footer)
{
    CertificateDetails d;
    const std::time_t now = std::time(nullptr);
    d.Number = CertificateNumber(meter, now);
    d.Date = TodayText();
    d.Operator = CurrentOperatorName();
    d.Footer = footer;
    return d;
}

CertificateWriter CertificateWriterWithFooter(const SheetFooter& footer)
{
    return [footer](const CalibrationResult& result, const DeviceSlot& meter) {
        return LayoutCertificate(result, meter, CertificateDetailsNow(meter, footer));
    };
}
