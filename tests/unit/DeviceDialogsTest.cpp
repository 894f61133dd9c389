// The dialogs' rules that need no meter: what a type change does to the
// add-device dialog, the device selection dialog, and the timeouts dialog on a
// real settings file.
#include "DeviceDialogs.h"
#include "DialogTestHost.h"
#include "Slots.h"
#include "TestFiles.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// --- Add-device dialog: type change ------------------------------------------------

struct TypeRow {
    const char* name;
    int code;
    bool boxesEnabled;
    bool g2Checked;
    const char* g1Caption;
    const char* g2Caption;
    bool serialEdit;
};

void PrintTo(const TypeRow& r, std::ostream* os)
{
    *os << r.name;
}

class AddDeviceType : public ::testing::TestWithParam<TypeRow> {};

TEST_P(AddDeviceType, SetsTheChannelBoxesAndTheAddressField)
{
    DevManager dev;
    TulvComPort port;
    DialogTestHost host;
    DevAddLogic dialog(dev, port, host, {});
    // Start from the state another type left behind.
    dialog.TypeChange(15);
    dialog.G1Click(false);
    dialog.TypeChange(2);

    const TypeRow& row = GetParam();
    dialog.TypeChange(row.code);
    const DevAddState& s = dialog.State();
    EXPECT_EQ(s.TypeCode, row.code);
    EXPECT_EQ(s.G1.Enabled, row.boxesEnabled);
    EXPECT_EQ(s.G2.Enabled, row.boxesEnabled);
    EXPECT_TRUE(s.G1.Checked);
    EXPECT_EQ(s.G2.Checked, row.g2Checked);
    EXPECT_EQ(s.G1.Caption, row.g1Caption);
    EXPECT_EQ(s.G2.Caption, row.g2Caption);
    EXPECT_EQ(s.SerialEditVisible, row.serialEdit);
    EXPECT_EQ(s.AddressCaption, row.serialEdit ? "Серийный номер" : "Сетевой адрес");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, AddDeviceType,
    ::testing::Values(TypeRow{"None", 0, false, false, "Канал G1", "Канал G2", false},
                      TypeRow{"Kvt64TwoChannels", 1, true, true, "Канал G1", "Канал G2", false},
                      TypeRow{"Kvt641OneChannel", 2, false, false, "Канал G1", "Канал G2", false},
                      TypeRow{"Dln0807M4TwoChannels", 11, true, true, "Канал G1", "Канал G2", false},
                      TypeRow{"Dln0807sTwoChannels", 12, true, true, "Канал G1", "Канал G2", false},
                      TypeRow{"Kvt64KuOnTheRelay", 14, false, false, "Канал G1", "Канал G2", true},
                      TypeRow{"Gzu08DirectAndReverse", 15, true, true, "Прямой", "Реверсивный", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AddDeviceDialog, ShowingItResetsTheTypeAndDisablesTheBoxesButKeepsTheRest)
{
    DevManager dev;
    TulvComPort port;
    DialogTestHost host;
    DevAddLogic dialog(dev, port, host, {});
    dialog.TypeChange(15);
    dialog.G2Click(false);
    dialog.SerialChange(44412345);
    dialog.NetAddrChange(40);
    dialog.TypeChange(99); // not in the list: ignored
    dialog.FormShow();
    const DevAddState& s = dialog.State();
    EXPECT_EQ(s.TypeCode, 0);
    EXPECT_FALSE(s.G1.Enabled);
    EXPECT_FALSE(s.G2.Enabled);
    EXPECT_TRUE(s.G1.Checked);
    EXPECT_FALSE(s.G2.Checked);
    EXPECT_EQ(s.G1.Caption, "Прямой") << "captions stay from the last type";
    EXPECT_TRUE(s.SerialEditVisible);
    EXPECT_EQ(s.SerialNumber, 44412345u);
    EXPECT_EQ(s.NetAddress, 16) << "clamped to the spin edit's range";
    dialog.SerialChange(1);
    EXPECT_EQ(dialog.State().SerialNumber, DevAddLogic::SerialMin);
}

// --- Device selection dialog ---------------------------------------------------------

DeviceSlot Slot(int type, int address, int channel, const std::string& serial)
{
    DeviceSlot s = MakeSlot(type, address, channel, serial);
    s.SetRelayAddress(44412345);
    return s;
}

TEST(DeviceSelection, OpensOnTheSlotsRecordAndWritesItBackOnOk)
{
    DevManager dev;
    dev.Slot(1) = Slot(2, 4, 1, "64100");
    dev.Slot(2) = Slot(1, 3, 2, "12064003");
    dev.Coefficients(2).ReadDone = true;
    DevSelLogic dialog(dev);

    dialog.OpenForSlot(2);
    EXPECT_EQ(dialog.State().TypeIndex, 1);
    EXPECT_EQ(dialog.State().NetAddress, 3);
    EXPECT_TRUE(dialog.State().ChannelsEnabled);
    EXPECT_EQ(dialog.State().Channel, 2);

    dialog.TypeChange(4); // two channels as well: the choice stays
    EXPECT_TRUE(dialog.State().ChannelsEnabled);
    EXPECT_EQ(dialog.State().Channel, 2);
    dialog.NetAddrChange(7);
    dialog.ChannelClick(1);
    dialog.BOkClick();
    EXPECT_EQ(dev.Slot(2).TypeCode(), 4);
    EXPECT_EQ(dev.Slot(2).NetAddress(), 7);
    EXPECT_EQ(dev.Slot(2).Channel(), 1);
    EXPECT_EQ(dev.Slot(2).SerialText(), "12064003") << "serial text and relay address keep their values";
    EXPECT_EQ(dev.Slot(2).RelayAddress(), 44412345u);
    EXPECT_FALSE(dev.Coefficients(2).ReadDone);
    EXPECT_EQ(dev.Slot(1).TypeCode(), 2) << "the other slot is untouched";

    // A one-channel type takes channel 1, whatever was chosen.
    dialog.OpenForSlot(2);
    dialog.ChannelClick(2);
    dialog.TypeChange(13);
    EXPECT_FALSE(dialog.State().ChannelsEnabled);
    dialog.BOkClick();
    EXPECT_EQ(dev.Slot(2).Channel(), 1);
}

TEST(DeviceSelection, NoneInSlotOneMovesSlotTwoUpAtTheRebuild)
{
    DevManager dev;
    dev.Slot(1) = Slot(1, 3, 1, "12064003");
    dev.Slot(2) = Slot(12, 5, 1, "80700005");
    const DeviceSlot second = dev.Slot(2);
    DevSelLogic dialog(dev);
    dialog.OpenForSlot(1);
    dialog.TypeChange(0);
    EXPECT_FALSE(dialog.State().ChannelsEnabled);
    dialog.BOkClick();
    EXPECT_EQ(dev.Slot(1).TypeCode(), 0);
    dev.CompactSlots();
    EXPECT_EQ(dev.Slot(1).Bytes(), second.Bytes());
    EXPECT_EQ(dev.Slot(2).TypeCode(), 0);
}

TEST(DeviceSelection, ASlotTheListDoesNotOfferKeepsItsTypeAndAnAddressOutOfRangeIsClamped)
{
    DevManager dev;
    dev.Slot(1) = Slot(16, 0, 1, "-");
    DevSelLogic dialog(dev);
    dialog.OpenForSlot(1);
    EXPECT_EQ(dialog.State().TypeIndex, -1);
    EXPECT_EQ(dialog.State().NetAddress, 1);
    EXPECT_FALSE(dialog.State().ChannelsEnabled);
    dialog.BOkClick();
    EXPECT_EQ(dev.Slot(1).TypeCode(), 16);
    EXPECT_EQ(dev.Slot(1).NetAddress(), 1);
    EXPECT_THROW(dialog.OpenForSlot(3), std::out_of_range);
}

// --- Timeouts dialog -------------------------------------------------------------------

class Delays : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(settings.Open(Ini(), error)) << error;
        profile = settings.Timeouts();
    }
    std::string Ini() const { return folder / "clbview.ini"; }
    std::string File() const { return ReadFile(Ini()); }

    TempFolder folder{"clbdelays"};
    Settings settings;
    TimeoutProfile profile;
    DialogTestHost host;
    DelaysLogic dialog{settings, profile, host};
};

TEST_F(Delays, ShowsTheDefaultsAndStoresAChangedByteTimeout)
{
    dialog.FormShow();
    EXPECT_EQ(dialog.State().Selected, 0);
    EXPECT_EQ(dialog.State().ByteTimeout, 100);
    EXPECT_EQ(dialog.State().PacketTimeout, 300);
    EXPECT_EQ(dialog.State().RepeatCount, 3);

    dialog.Edit3Change(120);
    EXPECT_EQ(profile.ByteTimeout, 100) << "only the working copy changes before saving";
    EXPECT_TRUE(dialog.BOkClick());
    EXPECT_EQ(profile.ByteTimeout, 120);
    EXPECT_EQ(File(), "[Device1]\r\nNB=120\r\nNP=300\r\nNR=3\r\n");

    Settings again;
    std::string error;
    ASSERT_TRUE(again.Open(Ini(), error));
    EXPECT_EQ(again.Timeouts().ByteTimeout, 120);
    EXPECT_TRUE(host.Boxes.empty());
}

TEST_F(Delays, CancelStoresNothingAndTheNextShowDiscardsTheEdits)
{
    dialog.FormShow();
    dialog.Edit3Change(700);
    dialog.Edit1Change(900);
    dialog.Edit2Change(9);
    // Cancel: the form just closes.
    EXPECT_FALSE(fs::exists(Ini()));
    EXPECT_EQ(profile.ByteTimeout, 100);

    dialog.FormShow();
    EXPECT_EQ(dialog.State().ByteTimeout, 100);
    EXPECT_EQ(dialog.Working().PacketTimeout, 300);
    EXPECT_EQ(dialog.Working().RepeatCount, 3);
}

TEST_F(Delays, EveryEntryEditsTheOneProfileAndNothingIsStoredWithoutASelection)
{
    dialog.FormShow();
    dialog.LBDevClick(7);
    dialog.Edit1Change(450);
    dialog.LBDevClick(11);
    EXPECT_EQ(dialog.State().PacketTimeout, 450) << "one profile for every meter type";
    dialog.LBDevClick(12); // past the list: no entry selected
    EXPECT_EQ(dialog.State().Selected, -1);
    dialog.Edit2Change(50);
    EXPECT_EQ(dialog.Working().RepeatCount, 3);
    dialog.LBDevClick(0);
    EXPECT_EQ(dialog.State().RepeatCount, 3);
    dialog.Edit2Change(500); // beyond the up-down's range
    EXPECT_EQ(dialog.Working().RepeatCount, 100);
}

TEST_F(Delays, StoredValuesOutsideTheControlsRangesAreShownAndSavedClamped)
{
    profile = {20, 20000, 0};
    dialog.FormShow();
    EXPECT_EQ(dialog.State().ByteTimeout, 50);
    EXPECT_EQ(dialog.State().PacketTimeout, 10000);
    EXPECT_EQ(dialog.State().RepeatCount, 1);
    EXPECT_TRUE(dialog.BOkClick());
    EXPECT_EQ(profile.ByteTimeout, 50);
    EXPECT_EQ(profile.PacketTimeout, 10000);
    EXPECT_EQ(profile.RepeatCount, 1);
}

TEST_F(Delays, AFileThatCannotBeWrittenIsReported)
{
    fs::create_directory(Ini()); // a folder where the file should be
    dialog.FormShow();
    dialog.Edit3Change(200);
    EXPECT_FALSE(dialog.BOkClick());
    ASSERT_EQ(host.Boxes.size(), 1u);
    EXPECT_EQ(host.Boxes[0].Caption, "Ошибка");
    EXPECT_EQ(host.Boxes[0].Icon, MsgIcon::Error);
    EXPECT_NE(host.Boxes[0].Text.find("clbview.ini"), std::string::npos) << host.Boxes[0].Text;
    EXPECT_EQ(profile.ByteTimeout, 200) << "the drivers made next take the values all the same";
}

} // namespace
