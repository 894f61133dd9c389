#include "Plausibility.h"

#include "CoefficientFiles.h"
#include "NumberText.h"
#include "TulvDln0803s.h"
#include "TulvKvt641.h"
#include "UltrasonicTables.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <iterator>

namespace {

std::string Trimmed(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return std::string(s);
}

std::string Lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

template <std::size_t N> bool InList(const float (&list)[N], float v)
{
    return std::find(std::begin(list), std::end(list), v) != std::end(list);
}

} // namespace

CoefficientForm CoefficientFormOf(std::uint8_t typeCode)
{
    return MeterTypeOf(typeCode).Units;
}

PlausibleRanges PlausibleRangesOf(const DeviceSlot& slot, const CoefficientSet& set)
{
    // What stands for the whole of Gmax in the unit of K0, and for "no
    // correction" in the unit of Ku.
    constexpr float Converter = 26214.0f;
    const CoefficientForm form = CoefficientFormOf(slot.TypeCode());
    PlausibleRanges r{};
    float whole = 1;
    switch (form.Zero) {
    case ZeroForm::FractionOfGmax: whole = 1; break;
    case ZeroForm::Flow: whole = std::fabs(set.Gmax); break;
    case ZeroForm::Converter: whole = Converter; break;
    case ZeroForm::Sensor:
        if (auto d = SensorDivisor(slot.SensorIndex())) whole = *d;
        else r.CheckZero = false;
        break;
    }
    r.K0Min = -PlausibleZeroShare * whole;
    r.K0Max = PlausibleZeroShare * whole;
    const float unity = form.Gain == GainForm::Converter ? Converter : 1.0f;
    r.KuMin = PlausibleGainMin * unity;
    r.KuMax = PlausibleGainMax * unity;
    return r;
}

std::optional<std::string> KvtFileSerial(std::string_view bytes)
{
    std::string section;
    for (const std::string& raw : SplitLines(bytes)) {
        const std::string line = Trimmed(raw);
        if (line.size() >= 2 && line.front() == '[') {
            section = Lower(Trimmed(line.substr(1, line.find(']') - 1)));
            continue;
        }
        const auto eq = line.find('=');
        if (section != "device" || eq == std::string::npos || Lower(Trimmed(line.substr(0, eq))) != "num") continue;
        const std::string value = Trimmed(line.substr(eq + 1));
        if (value.find_first_not_of('0') == std::string::npos) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::vector<std::string> PlausibilityWarnings(const DeviceSlot& slot, const CoefficientSet& set,
                                              const std::optional<std::string>& fileSerial)
{
    std::vector<std::string> w;
    auto outside = [](float v, float lo, float hi) { return !(v >= lo && v <= hi); };
    const PlausibleRanges r = PlausibleRangesOf(slot, set);
    if (r.CheckZero && outside(set.K[0], r.K0Min, r.K0Max))
        w.push_back("K0 = " + ShortestText(set.K[0]) + " вне правдоподобных пределов (от " + ShortestText(r.K0Min) +
                    " до " + ShortestText(r.K0Max) + ")");
    if (outside(set.K[1], r.KuMin, r.KuMax))
        w.push_back("Ku = " + ShortestText(set.K[1]) + " вне правдоподобных пределов (от " + ShortestText(r.KuMin) +
                    " до " + ShortestText(r.KuMax) + ")");
    const char* names[2] = {"измеренных расходов (K)", "опорных расходов (Kobr)"};
    for (int t = 0; t < 2; ++t) {
        const auto& table = t == 0 ? set.K : set.Obr;
        for (std::size_t i = 3; i <= 9; ++i)
            if (!(table[i] > table[i - 1])) {
                w.push_back("Точки таблицы " + std::string(names[t]) + " не возрастают: точка " +
                            std::to_string(i - 1) + " = " + ShortestText(table[i]) + ", точка " +
                            std::to_string(i - 2) + " = " + ShortestText(table[i - 1]));
                break;
            }
    }
    for (std::size_t i = 2; i <= 9; ++i)
        if (!(set.Obr[i] > 0))
            w.push_back("Опорная точка " + std::to_string(i - 1) + " = " + ShortestText(set.Obr[i]) +
                        ": ноль или отрицательное значение");
    // Where Gmax is written as an index into the type's list of sizes.
    bool sizeKnown = true;
    const GmaxPlace place = MeterTypeOf(slot.TypeCode()).Write.Gmax.Place;
    if (place == GmaxPlace::IndexKvt641)
        sizeKnown = InList(TulvKvt641::GmaxStandard, set.Gmax) || InList(TulvKvt641::GmaxMSeries, set.Gmax);
    else if (place == GmaxPlace::IndexDln0803)
        sizeKnown = slot.Modification() == 1   ? InList(TulvDln0803s::GmaxModification1, set.Gmax)
                    : slot.Modification() == 2 ? InList(TulvDln0803s::GmaxModification2, set.Gmax)
                                               : InList(TulvDln0803s::GmaxModification1, set.Gmax) ||
                                                     InList(TulvDln0803s::GmaxModification2, set.Gmax);
    if (!sizeKnown)
        w.push_back("Gmax = " + ShortestText(set.Gmax) +
                    " нет в списке типоразмеров прибора: будет записан типоразмер с индексом 0");
    if (fileSerial && Trimmed(*fileSerial) != Trimmed(slot.SerialText()))
        w.push_back("Файл сделан для прибора с серийным номером " + *fileSerial + ", а у этого прибора номер " +
                    (slot.SerialText().empty() ? std::string("не прочитан") : slot.SerialText()));
    return w;
}

std::string WarningNotice(const std::vector<std::string>& warnings)
{
    if (warnings.empty()) return {};
    std::string text = "Проверьте коэффициенты перед записью:";
    for (const auto& w : warnings) text += "\n- " + w;
    return text;
}
