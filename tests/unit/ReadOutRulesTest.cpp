// The read-out's rules that need no meter: software versions from their texts,
// the texts of the coefficient boxes, and the flow formulas of the poller.
#include "ClbThread.h"
#include "ReadOut.h"
#include "SlotBoxes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct VersionCase {
    const char* name;
    char rule;
    const char* V;
    const char* S;
    bool subOk;
    std::optional<float> value;
};

class Versions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(Versions, AreBuiltFromTheirTexts)
{
    const auto& c = GetParam();
    std::optional<float> v;
    switch (c.rule) {
    case 'A': v = VersionRules::RuleA(c.V, c.S); break;
    case 'B': v = VersionRules::RuleB(c.V, c.S, c.subOk); break;
    case 'C': v = VersionRules::RuleC(c.V, c.S); break;
    case 'D': v = VersionRules::RuleD(c.V); break;
    case 'E': v = VersionRules::RuleE(c.V); break;
    }
    ASSERT_EQ(v.has_value(), c.value.has_value());
    if (v) {
        EXPECT_EQ(*v, *c.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Versions,
    ::testing::Values(
        // A: "v3.111" -> "3.11" + 0.001; with an S in third place the sub-version joins.
        VersionCase{"APlain", 'A', "v3.111", "", true, static_cast<float>(3.11 + 0.001)},
        VersionCase{"AWithSubVersion", 'A', "v3S017", "25", true, static_cast<float>(3017.25 + 0.001)},
        VersionCase{"ASubVersionEqualToTheVersionIsLeftOut", 'A', "v3S017", "v3S017", true,
                    static_cast<float>(3017 + 0.001)},
        VersionCase{"ATooShort", 'A', "v3", "", true, std::nullopt},
        VersionCase{"ANotANumber", 'A', "vx.yy1", "", true, std::nullopt},
        // B: the two reply bytes printed as "2.05" and no sub-version: "2005." = 2005.001.
        VersionCase{"BWithoutSubVersion", 'B', "2.05", "", true, static_cast<float>(2005 + 0.001)},
        VersionCase{"BWithSubVersion", 'B', "2.05", "07", true, static_cast<float>(2005.07 + 0.001)},
        VersionCase{"BFailedSubVersionIsLeftOut", 'B', "2.05", "07", false, static_cast<float>(2005 + 0.001)},
        VersionCase{"BEmpty", 'B', "", "", true, std::nullopt},
        // C: a "2" in second place takes the long form.
        VersionCase{"CLong", 'C', "v2.45", "3", true, static_cast<float>(2045.3 + 0.001)},
        VersionCase{"CShort", 'C', "v1.45", "3", true, static_cast<float>(1.45 + 0.001)},
        // D: no 0.001 added.
        VersionCase{"D", 'D', "v7.000", "", true, 7.00f},
        VersionCase{"DBelowSeven", 'D', "v6.099", "", true, 6.99f},
        // E: the first character goes when there are at least three.
        VersionCase{"E", 'E', "V1.5", "", true, static_cast<float>(1.5 + 0.001)},
        VersionCase{"EShort", 'E', "15", "", true, static_cast<float>(15 + 0.001)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoxNames, FollowTheWindowsControls)
{
    EXPECT_EQ(CoefficientBoxName(1, 0), "EZero01");
    EXPECT_EQ(CoefficientBoxName(2, 1), "EKU02");
    EXPECT_EQ(CoefficientBoxName(1, 2), "EG011");
    EXPECT_EQ(CoefficientBoxName(2, 9), "EG028");
    EXPECT_EQ(FlowBoxName(2), "EG02");
}

DeviceSlot SlotOf(std::uint8_t code, std::uint8_t sensor = 0)
{
    DeviceSlot s;
    s.SetTypeCode(code);
    s.SetSensorIndex(sensor);
    return s;
}

TEST(CoefficientText, FollowsTheFormulasOfEachType)
{
    CoefficientSet c;
    c.Gmax = 2.5f;
    c.K = {13107.0f, 1.5f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};
    EXPECT_EQ(CoefficientText(SlotOf(1), c, 0), "1.25000") << "K0 x Gmax / 26214";
    EXPECT_EQ(CoefficientText(SlotOf(6), c, 0), "13107.0") << "K0 as it is";
    EXPECT_EQ(CoefficientText(SlotOf(4), c, 0), "32767.5") << "K0 x Gmax";
    EXPECT_EQ(CoefficientText(SlotOf(4), c, 1), "1.50000");
    EXPECT_EQ(CoefficientText(SlotOf(4), c, 9), "1.25000") << "point 8 x Gmax";
    EXPECT_EQ(CoefficientText(SlotOf(14), c, 1), std::nullopt) << "the gain box of the ultrasonic meters stays";
    c.K[0] = 56.0f;
    c.K[9] = 112.0f;
    EXPECT_EQ(CoefficientText(SlotOf(14), c, 0), "2.50000") << "Gmax x K0 / 56 (sensor 0)";
    EXPECT_EQ(CoefficientText(SlotOf(15, 1), c, 9), FormatValue(6, static_cast<float>(2.5 * (112.0 / 90.0))));
    EXPECT_EQ(CoefficientText(SlotOf(15, 7), c, 9), "error") << "no divisor beyond the table";
}

CoefficientSet Identity()
{
    CoefficientSet c;
    c.K = {0.0f, 26214.0f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};
    c.Obr = c.K;
    c.Gmax = 30.0f;
    return c;
}

TEST(CalibrationCurve, MapsThroughThePoints)
{
    CoefficientSet c = Identity();
    EXPECT_FLOAT_EQ(CalibrationCurveFlow(-0.5f, c), -0.5f * 30.0f) << "the sign is kept";
    EXPECT_FLOAT_EQ(CalibrationCurveFlow(0.0005f, c), 0.0005f * 30.0f) << "below the first point";
    EXPECT_FLOAT_EQ(CalibrationCurveFlow(0.3f, c), 0.3f * 30.0f);
    // Reference flows twice the measured ones between points 7 and 8.
    c.Obr[8] = 0.2f;
    c.Obr[9] = 1.0f;
    EXPECT_NEAR(CalibrationCurveFlow(0.3f, c), 30.0 * (0.2 + 0.8 * (0.3 - 0.1) / 0.4), 1e-4);
    // Above the last point towards (2, 2).
    EXPECT_NEAR(CalibrationCurveFlow(1.0f, c), 30.0 * (1.0 + (2 - 1.0) * (1.0 - 0.5) / (2 - 0.5)), 1e-4);
    // The zero coefficient and the gain apply first.
    c = Identity();
    c.K[0] = 0.1f;
    c.K[1] = 2 * 26214.0f;
    EXPECT_NEAR(CalibrationCurveFlow(0.25f, c), 30.0 * 0.3, 1e-4);
}

TEST(FlowFromReading, PerTypeCode)
{
    CoefficientSet c = Identity();
    c.Gmax = 10.0f;
    c.K[0] = 0.5f;
    c.K[1] = 2.0f;
    EXPECT_FLOAT_EQ(FlowFromReading(2, 0.25f, c), 2.5f);
    EXPECT_FLOAT_EQ(FlowFromReading(5, 0.25f, c), 2.5f);
    EXPECT_FLOAT_EQ(FlowFromReading(3, 0.25f, c), 0.25f);
    EXPECT_FLOAT_EQ(FlowFromReading(16, 7.0f, c), 7.0f);
    EXPECT_FLOAT_EQ(FlowFromReading(13, 1.5f, c), 2.0f * ((1.5f - 0.5f) * 10.0f));
    EXPECT_FLOAT_EQ(FlowFromReading(15, 1.5f, c), 20.0f);
}

} // namespace
