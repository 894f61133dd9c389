// The coefficient sheet without a printer: which slots share a sheet, the
// serial number that stops printing, the value formats and the layout.
#include "CoefficientSheet.h"

#include <gtest/gtest.h>

namespace {

class Sheet : public ::testing::Test {
protected:
    // A slot with a driver, polling on.
    void Configure(int n, std::uint8_t type, const std::string& serial, std::uint8_t channel, bool polled = true)
    {
        DeviceSlot& s = dev.Slot(n);
        s.SetTypeCode(type);
        s.SetSerialText(serial);
        s.SetChannel(channel);
        dev.Drivers[static_cast<size_t>(n - 1)] = MakeSlotDriver(type);
        dev.Coefficients(n).PollEnabled = polled;
    }
    const SheetText* Find(const SheetPage& page, double x, double y)
    {
        for (const auto& t : page.Texts)
            if (t.X == x && t.Y == y) return &t;
        return nullptr;
    }
    std::string At(const SheetPage& page, double x, double y)
    {
        const SheetText* t = Find(page, x, y);
        return t ? t->Text : "<none>";
    }

    DevManager dev;
    std::array<SheetGroup, 2> groups;
    std::string error;
};

TEST_F(Sheet, TwoChannelsOfOneMeterShareASheet)
{
    Configure(1, 1, "12345", 1);
    Configure(2, 1, " 0012345 ", 2);
    ASSERT_TRUE(GroupSheets(dev, groups, error)) << error;
    EXPECT_EQ(groups[0].SlotCount, 2);
    EXPECT_EQ(groups[0].Serial, 12345u);
    EXPECT_EQ(groups[0].FirstSlot, 1);
    EXPECT_EQ(groups[0].SecondSlot, 2);
    EXPECT_EQ(groups[1].SlotCount, 0);
}

TEST_F(Sheet, TwoMetersGiveTwoSheetsSlotOneFirst)
{
    Configure(1, 1, "67890", 1);
    Configure(2, 8, "12345", 1);
    ASSERT_TRUE(GroupSheets(dev, groups, error));
    EXPECT_EQ(groups[0].Serial, 67890u);
    EXPECT_EQ(groups[0].SlotCopy.TypeCode(), 1);
    EXPECT_EQ(groups[1].Serial, 12345u);
    EXPECT_EQ(groups[1].FirstSlot, 2);
    EXPECT_EQ(LayoutSheets(dev, groups, {}, "01.02.2026").Pages.size(), 2u);
}

TEST_F(Sheet, OnlySlotsWithTypeDriverAndPollingTakePart)
{
    Configure(1, 1, "12345", 1);
    Configure(2, 1, "12345", 2, /*polled=*/false);
    ASSERT_TRUE(GroupSheets(dev, groups, error));
    EXPECT_EQ(groups[0].SlotCount, 1) << "the unticked second channel stays off the sheet";

    dev.Coefficients(2).PollEnabled = true;
    dev.Drivers[1] = SlotDriver{};
    ASSERT_TRUE(GroupSheets(dev, groups, error));
    EXPECT_EQ(groups[0].SlotCount, 1) << "a slot without a driver stays off";

    dev.ResetSlots();
    dev.Drivers = {};
    ASSERT_TRUE(GroupSheets(dev, groups, error));
    EXPECT_EQ(LayoutSheets(dev, groups, {}, "x").Pages.size(), 0u) << "an empty print job";
}

TEST_F(Sheet, ASerialThatIsNoIntegerStopsBeforePrinting)
{
    for (const char* bad : {"-", "error", "12a", "", "99999999999", "-5"}) {
        dev.ResetSlots();
        Configure(1, 1, "12345", 1);
        Configure(2, 1, bad, 2);
        error.clear();
        EXPECT_FALSE(GroupSheets(dev, groups, error)) << bad;
        EXPECT_EQ(error, "\"" + std::string(bad) + "\" не является допустимым целым числом");
        EXPECT_EQ(groups[0].SlotCount, 0) << "nothing is left to print";
    }
    // Not taking part, it is not converted.
    dev.Coefficients(2).PollEnabled = false;
    EXPECT_TRUE(GroupSheets(dev, groups, error));
}

TEST_F(Sheet, PointValuesChooseTheirDecimalsByMagnitude)
{
    const std::pair<double, const char*> cases[] = {
        {9.5, "9.50000 "}, {10, "10.0000 "}, {99.99994, "99.9999 "}, {250, "250.000 "}, {0, "0.00000 "},
        {-12.5, "-12.5000 "},
    };
    for (const auto& [v, text] : cases) EXPECT_EQ(FormatPointValue(v), text) << v;
}

TEST_F(Sheet, TwoColumnLayoutPutsEveryValueAtItsPlace)
{
    Configure(1, 1, "0012345", 1);
    Configure(2, 1, "12345", 2);
    CoefficientSet& l = dev.Coefficients(1);
    CoefficientSet& r = dev.Coefficients(2);
    l.Gmax = 26214;
    l.K[0] = 0.5f;
    l.K[1] = 1.25f;
    r.Gmax = 100;
    r.K[0] = 0.5f;
    l.K[2] = 9.5f / 26214;
    r.K[2] = 0.1f;   // 10
    r.K[9] = 2.5f;   // 250
    ASSERT_TRUE(GroupSheets(dev, groups, error));
    const SheetDocument doc = LayoutSheets(dev, groups, {"ул. Заводская, 1", "тел. 100", "www"}, "09.12.2026");
    ASSERT_EQ(doc.Pages.size(), 1u);
    const SheetPage& p = doc.Pages[0];
    EXPECT_EQ(At(p, 20, 20), "КВТ-64");
    EXPECT_EQ(At(p, 40, 28), "12345");
    EXPECT_EQ(At(p, 50, 48), "Значения для канала № 1");
    EXPECT_EQ(At(p, 125, 48), "Значения для канала № 2");
    EXPECT_EQ(At(p, 72, 60), "26214.00");
    EXPECT_EQ(At(p, 147, 60), "100.00");
    EXPECT_EQ(At(p, 70, 68), "0.50000") << "K0 of type 1 is scaled by its own Gmax / 26214";
    EXPECT_EQ(At(p, 145, 68), "0.00191");
    EXPECT_EQ(At(p, 70, 76), "1.25000");
    EXPECT_EQ(At(p, 70, 85), "9.50000 ");
    EXPECT_EQ(At(p, 145, 85), "10.0000 ");
    EXPECT_EQ(At(p, 145, 141), "250.000 ");
    EXPECT_EQ(At(p, 22, 141), "точка 8");
    EXPECT_EQ(At(p, 40, 185), "09.12.2026");
    EXPECT_EQ(At(p, 24, 262), "ул. Заводская, 1");
    EXPECT_EQ(At(p, 24, 278), "www");
    ASSERT_NE(Find(p, 140, 222), nullptr);
    EXPECT_EQ(Find(p, 140, 222)->Points, 10);
    EXPECT_EQ(Find(p, 24, 262)->Points, 12);

    // The rules: the thick one under Ku, the right edge at 190, the slash, the footer.
    auto has = [&](SheetLine want) {
        for (const auto& l : p.Lines)
            if (l.X1 == want.X1 && l.Y1 == want.Y1 && l.X2 == want.X2 && l.Y2 == want.Y2 && l.PenDots == want.PenDots)
                return true;
        return false;
    };
    EXPECT_TRUE(has({20, 82, 190, 82, 10}));
    EXPECT_TRUE(has({20, 147, 190, 147, 4}));
    EXPECT_TRUE(has({190, 45, 190, 147, 4}));
    EXPECT_TRUE(has({130, 190, 133, 184, 4}));
    EXPECT_TRUE(has({20, 260, 190, 260, 8}));
    EXPECT_TRUE(has({38, 283, 65, 283, 2}));
}

TEST_F(Sheet, OneColumnLayoutEndsAt115)
{
    Configure(1, 8, "777", 1);
    dev.Coefficients(1).K[0] = 0.5f;
    dev.Coefficients(1).Gmax = 30;
    ASSERT_TRUE(GroupSheets(dev, groups, error));
    const SheetPage p = LayoutSheets(dev, groups, {}, "d").Pages.at(0);
    EXPECT_EQ(At(p, 65, 48), "Значения");
    EXPECT_EQ(At(p, 72, 60), "30.00");
    EXPECT_EQ(At(p, 70, 68), "0.50000") << "K0 of other types is printed as stored";
    for (const auto& l : p.Lines) {
        EXPECT_LE(std::max(l.X1, l.X2), 190);
        if (l.Y1 == l.Y2 && l.Y1 >= 45 && l.Y1 <= 147) {
            EXPECT_EQ(l.X2, 115) << "table rule at y = " << l.Y1;
        }
    }
    EXPECT_EQ(Find(p, 125, 48), nullptr);
}

} // namespace
