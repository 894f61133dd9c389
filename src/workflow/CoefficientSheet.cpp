#include "CoefficientSheet.h"

#include "DeviceCatalogue.h"
#include "MeterTypes.h"
#include "Settings.h"

#include <cmath>
#include <charconv>
#include <ctime>

namespace {

// Fixed notation with "." whatever the locale.
std::string Fixed(double value, int decimals)
{
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

std::string DisplayName(std::uint8_t code)
{
    const DeviceTypeInfo* info = FindDeviceType(code);
    return info ? std::string(info->DisplayName) : std::string();
}

// A serial text as a 32-bit unsigned integer: decimal digits only, blanks around them removed.
bool SerialNumber(const std::string& text, std::uint32_t& serial)
{
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    if (first == std::string::npos) return false;
    const std::string digits = text.substr(first, last - first + 1);
    std::uint64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > 0xFFFFFFFFu) return false;
    }
    serial = static_cast<std::uint32_t>(v);
    return true;
}

class SheetBuilder {
public:
    explicit SheetBuilder(SheetPage& page) : FPage(page) {}
    void Text(double x, double y, std::string text) { FPage.Texts.push_back({x, y, FPoints, std::move(text)}); }
    void Rule(double x1, double x2, double y) { FPage.Lines.push_back({x1, y, x2, y, FPen}); }
    void Line(double x1, double y1, double x2, double y2) { FPage.Lines.push_back({x1, y1, x2, y2, FPen}); }
    int FPoints = 12;
    int FPen = 4;

private:
    SheetPage& FPage;
};

// One value column of the table: x of Gmax and x of the other values.
void ValueColumn(SheetBuilder& b, const DevManager& dev, int slot, bool heatMeterK0, double gmaxX, double x)
{
    const CoefficientSet& c = dev.Coefficients(slot);
    const double gmax = c.Gmax;
    b.Text(gmaxX, 60, Fixed(gmax, 2));
    const double k0 = heatMeterK0 ? c.K[0] * gmax / 26214.0 : c.K[0];
    b.Text(x, 68, Fixed(k0, 5));
    b.Text(x, 76, Fixed(c.K[1], 5));
    for (int k = 1; k <= 8; ++k) b.Text(x, 77 + 8 * k, FormatPointValue(c.K[k + 1] * gmax));
}

void Sheet(SheetPage& page, const DevManager& dev, const SheetGroup& g, const SheetFooter& footer,
           const std::string& date)
{
    SheetBuilder b(page);
    b.Text(20, 20, DisplayName(g.SlotCopy.TypeCode()));
    b.Text(80, 20, "Калибровочные коэффициенты");
    b.Text(20, 28, "Зав. №");
    b.Text(40, 28, std::to_string(g.Serial));

    const bool two = g.SlotCount == 2;
    const double right = two ? 190 : 115;
    if (two) {
        b.Text(50, 48, "Значения для канала № 1");
        b.Text(125, 48, "Значения для канала № 2");
    } else {
        b.Text(65, 48, "Значения");
    }
    b.Rule(20, right, 45);
    b.Rule(20, right, 58);
    for (double x : {20.0, 40.0, 115.0}) b.Line(x, 45, x, 147);
    if (two) b.Line(190, 45, 190, 147);

    b.Text(22, 60, "Gmax");
    b.Rule(20, right, 66);
    b.Text(22, 68, "K0");
    b.Rule(20, right, 74);
    b.Text(22, 76, "Kу");
    b.FPen = 10;
    b.Rule(20, right, 82);
    b.FPen = 4;
    for (int k = 1; k <= 8; ++k) {
        b.Text(22, 77 + 8 * k, "точка " + std::to_string(k));
        b.Rule(20, right, 83 + 8 * k);
    }
    const bool heatMeterK0 = MeterTypeOf(g.SlotCopy.TypeCode()).Units.Zero == ZeroForm::Converter;
    ValueColumn(b, dev, g.FirstSlot, heatMeterK0, 72, 70);
    if (two) ValueColumn(b, dev, g.SecondSlot, heatMeterK0, 147, 145);

    b.Text(40, 185, date);
    b.FPoints = 10;
    b.Text(102, 190, "подпись");
    b.Text(152, 190, "ФИО");
    b.Rule(90, 125, 190);
    b.Line(130, 190, 133, 184);
    b.Rule(135, 180, 190);
    b.Rule(140, 170, 220);
    b.Text(140, 222, "место клейма ОТК");
    b.FPen = 8;
    b.Rule(20, 190, 260);
    b.FPoints = 12;
    b.Text(24, 262, footer.Address);
    b.Text(24, 270, footer.Phone);
    b.Text(24, 278, footer.Web);
    b.FPen = 2;
    b.Rule(38, 65, 283);
}

} // namespace

bool GroupSheets(const DevManager& dev, std::array<SheetGroup, 2>& groups, std::string& error)
{
    groups = {};
    int used = 0;
    for (int slot = 1; slot <= 2; ++slot) {
        const DeviceSlot& s = dev.Slot(slot);
        if (s.TypeCode() == 0 || !HasDriver(dev.Drivers[static_cast<size_t>(slot - 1)]) ||
            !dev.Coefficients(slot).PollEnabled.load())
            continue;
        std::uint32_t serial = 0;
        if (!SerialNumber(s.SerialText(), serial)) {
            error = "\"" + s.SerialText() + "\" не является допустимым целым числом";
            groups = {};
            return false;
        }
        SheetGroup* same = nullptr;
        for (int g = 0; g < used; ++g)
            if (groups[static_cast<size_t>(g)].Serial == serial && groups[static_cast<size_t>(g)].SlotCount == 1)
                same = &groups[static_cast<size_t>(g)];
        if (same) {
            same->SecondSlot = static_cast<std::uint8_t>(slot);
            same->SlotCount = 2;
        } else {
            SheetGroup& g = groups[static_cast<size_t>(used++)];
            g.Serial = serial;
            g.SlotCount = 1;
            g.SlotCopy = s;
            g.FirstSlot = static_cast<std::uint8_t>(slot);
        }
    }
    return true;
}

SheetFooter SheetFooterFrom(const Settings& settings)
{
    return {settings.SheetFooterLine("Address"), settings.SheetFooterLine("Phone"), settings.SheetFooterLine("Web")};
}

SheetDocument LayoutSheets(const DevManager& dev, const std::array<SheetGroup, 2>& groups,
                           const SheetFooter& footer, const std::string& date)
{
    SheetDocument doc;
    doc.Title = "Калибровочные коэффициенты";
    for (const SheetGroup& g : groups) {
        if (g.SlotCount == 0) continue;
        doc.Pages.emplace_back();
        Sheet(doc.Pages.back(), dev, g, footer, date);
    }
    return doc;
}

std::string TodayText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%d.%m.%Y", &local);
    return buf;
}

std::string FormatPointValue(double value)
{
    const double magnitude = std::fabs(value);
    return Fixed(value, magnitude < 10 ? 5 : magnitude < 100 ? 4 : 3) + " ";
}
