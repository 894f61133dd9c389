// The doubts said with the write question: each bad file of the table gives its own warning and
// a sound file gives none.
#include "Plausibility.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Doubt {
    const char* name;
    std::uint8_t type;
    std::uint8_t modification;
    std::function<void(CoefficientSet&)> spoil;
    std::optional<std::string> fileSerial;
    std::vector<std::string> said; // the warnings, in order
};

void PrintTo(const Doubt& d, std::ostream* os)
{
    *os << d.name;
}

// A calibrated meter's values; the КВТ-64 keeps K0 and Ku in converter units.
CoefficientSet Sound(std::uint8_t type, float gmax)
{
    CoefficientSet c;
    c.Gmax = gmax;
    c.K = {0.01f, 1.02f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};
    if (type == 1) {
        c.K[0] = 262.0f;
        c.K[1] = 26738.0f;
    }
    c.Obr = c.K;
    return c;
}

class Plausibility : public ::testing::TestWithParam<Doubt> {};

TEST_P(Plausibility, EachDoubtIsSaid)
{
    const Doubt& d = GetParam();
    DeviceSlot slot;
    slot.SetTypeCode(d.type);
    slot.SetChannel(1);
    slot.SetModification(d.modification);
    slot.SetSerialText("12064001");
    CoefficientSet c = Sound(d.type, d.type == 2 || d.type == 8 ? 63.0f : 12.5f);
    if (d.spoil) d.spoil(c);
    EXPECT_EQ(PlausibilityWarnings(slot, c, d.fileSerial), d.said);
}

const char* const NoSize = "нет в списке типоразмеров прибора: будет записан типоразмер с индексом 0";

INSTANTIATE_TEST_SUITE_P(
    BadFiles, Plausibility,
    ::testing::Values(
        Doubt{"SoundFileOfTheSameMeter", 1, 0, nullptr, "12064001", {}},
        Doubt{"FileOfNoMeter", 1, 0, nullptr, std::nullopt, {}},
        Doubt{"K0TooLarge", 4, 0, [](CoefficientSet& c) { c.K[0] = 0.75f; }, {},
              {"K0 = 0.75 вне правдоподобных пределов (от -0.5 до 0.5)"}},
        Doubt{"KuNotANumber", 4, 0, [](CoefficientSet& c) { c.K[1] = NAN; }, {},
              {"Ku = nan вне правдоподобных пределов (от 0.5 до 2)"}},
        Doubt{"KuOfTheKvt64ScaleOnAnotherType", 4, 0, [](CoefficientSet& c) { c.K[1] = 26214.0f; }, {},
              {"Ku = 26214 вне правдоподобных пределов (от 0.5 до 2)"}},
        // The КВТ-64 keeps both in converter units: 26214 stand for Gmax and for no correction.
        Doubt{"Kvt64WithoutCorrection", 1, 0,
              [](CoefficientSet& c) {
                  c.K[0] = 0;
                  c.K[1] = 26214.0f;
              },
              {}, {}},
        Doubt{"Kvt64ZeroAtHalfOfGmax", 1, 0, [](CoefficientSet& c) { c.K[0] = -13107.0f; }, {}, {}},
        Doubt{"Kvt64KuAsAFactor", 1, 0, [](CoefficientSet& c) { c.K[1] = 1.0f; }, {},
              {"Ku = 1 вне правдоподобных пределов (от 13107 до 52428)"}},
        Doubt{"Kvt64ZeroBeyondHalfOfGmax", 1, 0, [](CoefficientSet& c) { c.K[0] = 13200.0f; }, {},
              {"K0 = 13200 вне правдоподобных пределов (от -13107 до 13107)"}},
        // The КВТ-64M keeps K0 as a flow: half of its Gmax 12.5 either way.
        Doubt{"Kvt64MZeroAsAFlow", 6, 0, [](CoefficientSet& c) { c.K[0] = 6.0f; }, {}, {}},
        Doubt{"Kvt64MZeroBeyondHalfOfGmax", 6, 0, [](CoefficientSet& c) { c.K[0] = -7.0f; }, {},
              {"K0 = -7 вне правдоподобных пределов (от -6.25 до 6.25)"}},
        // The КВТ-64КУ keeps K0 in units of its sensor's divisor (56 for sensor 0).
        Doubt{"Kvt64KUZeroInSensorUnits", 14, 0, [](CoefficientSet& c) { c.K[0] = 27.0f; }, {}, {}},
        Doubt{"Kvt64KUZeroBeyondHalfOfItsSensor", 14, 0, [](CoefficientSet& c) { c.K[0] = 29.0f; }, {},
              {"K0 = 29 вне правдоподобных пределов (от -28 до 28)"}},
        Doubt{"MeasuredPointsFallAtPoint5", 1, 0, [](CoefficientSet& c) { c.K[6] = 0.004f; }, {},
              {"Точки таблицы измеренных расходов (K) не возрастают: точка 5 = 0.004, точка 4 = 0.01"}},
        Doubt{"EqualReferencePoints", 1, 0, [](CoefficientSet& c) { c.Obr[9] = 0.1f; }, {},
              {"Точки таблицы опорных расходов (Kobr) не возрастают: точка 8 = 0.1, точка 7 = 0.1"}},
        Doubt{"ZeroFirstReferencePoint", 1, 0, [](CoefficientSet& c) { c.Obr[2] = 0.0f; }, {},
              {"Опорная точка 1 = 0: ноль или отрицательное значение"}},
        Doubt{"NegativeReferencePoints", 1, 0,
              [](CoefficientSet& c) {
                  c.Obr[2] = -0.002f;
                  c.Obr[3] = -0.001f;
              },
              {},
              {"Опорная точка 1 = -0.002: ноль или отрицательное значение",
               "Опорная точка 2 = -0.001: ноль или отрицательное значение"}},
        Doubt{"Kvt641GmaxOfTheMSeries", 2, 0, nullptr, {}, {}},
        Doubt{"Kvt641GmaxInNoList", 2, 0, [](CoefficientSet& c) { c.Gmax = 64.0f; }, {},
              {std::string("Gmax = 64 ") + NoSize}},
        Doubt{"Dln0803sModification1WithoutGmax63", 8, 1, nullptr, {}, {std::string("Gmax = 63 ") + NoSize}},
        Doubt{"Dln0803sModification2Gmax63", 8, 2, nullptr, {}, {}},
        Doubt{"GmaxOfNoListOnAKvt64IsFine", 1, 0, [](CoefficientSet& c) { c.Gmax = 64.0f; }, {}, {}},
        Doubt{"FileOfAnotherMeter", 1, 0, nullptr, "12064002",
              {"Файл сделан для прибора с серийным номером 12064002, а у этого прибора номер 12064001"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KvtFileSerial, NamesOnlyARealSerial)
{
    EXPECT_EQ(KvtFileSerial("[Device]\r\nId=x\r\nNum=12064001\r\n[Koeff]\r\nNum=5\r\n"), "12064001");
    EXPECT_EQ(KvtFileSerial("[device]\r\n num = 44412345 \r\n"), "44412345");
    EXPECT_EQ(KvtFileSerial("[Device]\r\nNum=00000000\r\n"), std::nullopt);
    EXPECT_EQ(KvtFileSerial("[Device]\r\nNum=\r\n"), std::nullopt);
    EXPECT_EQ(KvtFileSerial("[Koeff]\r\nNum=12064001\r\n"), std::nullopt);
}

} // namespace
