// The main window's rules without a window: what a slot column shows, which
// dialog a picture opens, when the configuration may change, and start-up.
#include "MainController.h"
#include "RecordingHost.h"
#include "Slots.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class Controller : public ::testing::Test {
protected:
    void SetUp() override
    {
        folders = ResolveProgramFolders((folder / "clbview").string(), "clbview");
        c = std::make_unique<MainController>(host, folders);
        c->Startup();
    }
    void TearDown() override { c.reset(); }
    TempFolder temp{"clb-controller-"};
    fs::path folder = temp.Path();
    ProgramFolders folders;
    RecordingHost host;
    std::unique_ptr<MainController> c;
};

TEST(SlotColumn, ShowsPictureAndLabelPerType)
{
    struct Case {
        DeviceSlot slot;
        const char* picture;
        const char* label;
        bool configured;
    };
    const Case cases[] = {
        {MakeSlot(0, 0, 0), "NC", "-\r\n-", false},
        {MakeSlot(1, 1, 2, "12064001"), "K64", "12064001\r\n2", true},
        {MakeSlot(15, 0, 1, "44412345"), "GZU-08", "44412345\r\n1", true},
        // Code 16 comes only from a file; it has a picture of its own.
        {MakeSlot(16, 3, 1), "K09M4", "-\r\n1", true},
        // A code no type has is shown as an empty slot.
        {MakeSlot(40, 3, 1), "NC", "-\r\n-", false},
    };
    for (const auto& k : cases) {
        const SlotView v = ViewOfSlot(k.slot);
        EXPECT_EQ(v.Picture, k.picture) << int(k.slot.TypeCode());
        EXPECT_EQ(v.Label, k.label) << int(k.slot.TypeCode());
        EXPECT_EQ(v.Configured, k.configured) << int(k.slot.TypeCode());
    }
    EXPECT_EQ(BoxAccessibleName(1, 4), "Точка 3, прибор 1");
    EXPECT_EQ(BoxAccessibleName(2, 0), "К0, прибор 2");
}

TEST_F(Controller, StartsWithEmptySlotsFoldersAndDefaults)
{
    EXPECT_EQ(MainCaption(), "Просмотр коэф-тов калибровки 1.32");
    EXPECT_TRUE(fs::is_directory(fs::path(folders.Saved) / "DLN-0807"));
    EXPECT_EQ(c->Dev().Slot(1).TypeCode(), 0);
    EXPECT_EQ(c->PortIndex(), 0);
    EXPECT_EQ(c->BaudIndex(), 0);
    EXPECT_EQ(c->Timeouts().PacketTimeout, 300);
    EXPECT_TRUE(c->Disconnected());
    EXPECT_TRUE(host.CaptionedTexts().empty());
    EXPECT_EQ(c->PortPath(2), "/dev/ttyS2");
}

TEST_F(Controller, PictureClicksOpenTheDialogOfTheSlotState)
{
    c->Dev().Slot(2) = MakeSlot(4, 2, 1);
    c->RebuildSlots(true);
    // The lone meter moved up to slot 1; slot 2 is now empty.
    EXPECT_EQ(c->Dev().Slot(1).TypeCode(), 4);
    EXPECT_EQ(c->Img1Click(1), MainController::SlotDialog::Select);
    EXPECT_EQ(c->Img1Click(2), MainController::SlotDialog::Add);
    EXPECT_TRUE(HasDriver(c->Dev().Driver(1)));
}

TEST_F(Controller, ClearingAsksAndNoKeepsTheSlots)
{
    c->Dev().Slot(1) = MakeSlot(1, 1, 1);
    c->Dev().Slot(2) = MakeSlot(1, 1, 2);
    c->RebuildSlots(true);
    host.DefaultAnswer = MsgAnswer::No;
    EXPECT_FALSE(c->Img1MouseDown(1));
    EXPECT_EQ(c->Dev().Slot(2).TypeCode(), 1);
    host.DefaultAnswer = MsgAnswer::Yes;
    EXPECT_TRUE(c->Img1MouseDown(2));
    EXPECT_EQ(c->Dev().Slot(1).TypeCode(), 0);
    EXPECT_EQ(c->Dev().Slot(2).TypeCode(), 0);
    EXPECT_FALSE(HasDriver(c->Dev().Driver(1)));
    ASSERT_EQ(host.CaptionedTexts().size(), 2u);
    EXPECT_EQ(host.CaptionedTexts()[0], "Внимание: Из конфигурации будут убраны оба прибора:\n"
                                "1: КВТ-64, канал 1, адрес 1\n2: КВТ-64, канал 2, адрес 1\n\n"
                                "Вы действительно хотите очистить конфигурацию?");

    // Nothing left to clear: no question, a word instead.
    EXPECT_FALSE(c->Img1MouseDown(1));
    EXPECT_EQ(host.CaptionedTexts().size(), 2u);
    EXPECT_EQ(host.Status, "Конфигурация уже пуста");
}

TEST_F(Controller, TheQuestionNamesSerialNumbersOnceTheyAreKnown)
{
    c->Dev().Slot(1) = MakeSlot(12, 5, 1, "08072500");
    c->RebuildSlots(true);
    c->Img1MouseDown(1);
    ASSERT_EQ(host.CaptionedTexts().size(), 1u);
    EXPECT_NE(host.CaptionedTexts()[0].find("\n1: ДЛН-08.07С № 08072500, канал 1, адрес 5\n2: пусто\n"), std::string::npos)
        << host.CaptionedTexts()[0];
}

TEST_F(Controller, PictureClicksWhileConnectedOrReadingOutSayWhyNothingOpens)
{
    c->Dev().Slot(1) = MakeSlot(4, 2, 1);
    c->RebuildSlots(true);
    struct Case {
        bool connect, disconnect;
        const char* said;
    } cases[] = {
        {false, true, "Приборы настраиваются без связи: сначала нажмите «Отключить»"},
        {false, false, "Подождите: идёт обмен с прибором"},
    };
    for (const Case& k : cases) {
        c->HostOfWorkflow().SetConnectButtons(k.connect, k.disconnect);
        for (int slot = 1; slot <= 2; ++slot) {
            host.Status.clear();
            EXPECT_EQ(c->Img1Click(slot), MainController::SlotDialog::None);
            EXPECT_EQ(host.Status, k.said);
            host.Status.clear();
            host.DefaultAnswer = MsgAnswer::Yes;
            EXPECT_FALSE(c->Img1MouseDown(slot));
            EXPECT_EQ(host.Status, k.said);
        }
    }
    EXPECT_TRUE(host.CaptionedTexts().empty()) << "no question, no dialog";
    EXPECT_EQ(c->Dev().Slot(1).TypeCode(), 4);
    c->HostOfWorkflow().SetConnectButtons(true, false);
    host.Status.clear();
    EXPECT_EQ(c->Img1Click(1), MainController::SlotDialog::Select);
    EXPECT_EQ(host.Status, "") << "a click that opens its dialog needs no word";
}

TEST_F(Controller, ConfigurationFilesRoundTripAndRefuseDamage)
{
    c->Dev().Slot(1) = MakeSlot(12, 5, 1, "777");
    c->Dev().Slot(2) = MakeSlot(12, 6, 2, "777");
    host.Files = {(folder / "conf.clb").string(), (folder / "conf.clb").string()}; // saved, then loaded
    ASSERT_TRUE(c->BSaveConfClick());
    EXPECT_TRUE(host.Dialogs().back().Save);
    EXPECT_EQ(host.Dialogs().back().DefaultExt, "clb");

    host.DefaultAnswer = MsgAnswer::Yes;
    c->Img1MouseDown(1);
    ASSERT_TRUE(c->BLoadConfClick());
    EXPECT_EQ(c->Dev().Slot(2).NetAddress(), 6);
    EXPECT_EQ(c->Dev().Slot(1).SerialText(), "-") << "serial numbers come back with the next read-out";

    // Too short a file: told with its name, slots unchanged.
    std::ofstream(folder / "short.clb", std::ios::binary) << "\xCA";
    host.Files = {(folder / "short.clb").string()};
    EXPECT_FALSE(c->BLoadConfClick());
    EXPECT_NE(host.CaptionedTexts().back().find("short.clb"), std::string::npos) << host.CaptionedTexts().back();
    EXPECT_EQ(c->Dev().Slot(2).NetAddress(), 6);
}

TEST_F(Controller, SelectorsAreStoredAtOnce)
{
    c->CBPortChange(4);
    c->CBBaudChange(1);
    Settings s;
    std::string error;
    ASSERT_TRUE(s.Open(folders.SettingsFile, error));
    EXPECT_EQ(s.Port(), 5);
    EXPECT_EQ(s.Baud(), 1);
}

TEST_F(Controller, APollBoxKeepsTheUsersChoiceUntilTheConfigurationChanges)
{
    c->Dev().Slot(1) = MakeSlot(1, 1, 1);
    c->Dev().Slot(2) = MakeSlot(1, 2, 1);
    c->RebuildSlots(true);
    for (int n = 1; n <= 2; ++n) {
        EXPECT_TRUE(c->PollBox(n).Enabled) << n;
        EXPECT_TRUE(c->PollBox(n).Checked) << "a newly configured slot starts ticked";
        EXPECT_TRUE(c->Dev().Coefficients(n).PollEnabled);
    }
    c->CBDev01Click(2, false);
    // The read-out fills in the serial number and redraws the slot area.
    c->Dev().Slot(2).SetSerialText("12064002");
    c->HostOfWorkflow().RefreshSlots();
    EXPECT_FALSE(c->PollBox(2).Checked);
    EXPECT_TRUE(c->PollBox(2).Enabled);
    EXPECT_FALSE(c->Dev().Coefficients(2).PollEnabled) << "the meter is not polled";
    EXPECT_TRUE(c->PollBox(1).Checked);
    // The same configuration rebuilt (a dialog closed with no change) keeps it too.
    c->RebuildSlots(true);
    EXPECT_FALSE(c->PollBox(2).Checked);
    // Another meter in the slot is a new choice.
    c->Dev().Slot(2).SetNetAddress(3);
    c->RebuildSlots(true);
    EXPECT_TRUE(c->PollBox(2).Checked);
    EXPECT_TRUE(c->Dev().Coefficients(2).PollEnabled);
    // An empty slot's box is off and cannot be ticked.
    c->Dev().Slot(2) = MakeSlot(0, 0, 0);
    c->RebuildSlots(true);
    EXPECT_FALSE(c->PollBox(2).Enabled);
    EXPECT_FALSE(c->PollBox(2).Checked);
    c->CBDev01Click(2, true);
    EXPECT_FALSE(c->PollBox(2).Checked);
    EXPECT_FALSE(c->Dev().Coefficients(2).PollEnabled);
}

TEST_F(Controller, PortAndBaudChangeOnlyWhileDisconnectedAndIdle)
{
    const auto settingsFile = [&] {
        std::ifstream in(folders.SettingsFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_TRUE(c->PortListsEnabled(false));
    EXPECT_FALSE(c->PortListsEnabled(true)) << "an operation runs";
    ASSERT_TRUE(c->CBPortChange(2));
    const std::string stored = settingsFile();
    // Connecting (both buttons off), then connected.
    for (const auto& [connect, disconnect] : {std::pair{false, false}, std::pair{false, true}}) {
        c->HostOfWorkflow().SetConnectButtons(connect, disconnect);
        EXPECT_FALSE(c->PortListsEnabled(false));
        EXPECT_FALSE(c->CBPortChange(4));
        EXPECT_FALSE(c->CBBaudChange(1));
        EXPECT_FALSE(c->SelectDevice("/dev/ttyUSB0"));
        EXPECT_EQ(c->PortIndex(), 2);
        EXPECT_EQ(c->BaudIndex(), 0);
        EXPECT_EQ(c->CurrentPortChoice().Path, "/dev/ttyS2");
        EXPECT_EQ(settingsFile(), stored) << "nothing is written";
    }
    EXPECT_TRUE(host.CaptionedTexts().empty());
    c->HostOfWorkflow().SetConnectButtons(true, false);
    EXPECT_TRUE(c->PortListsEnabled(false));
    EXPECT_TRUE(c->CBBaudChange(1));
    EXPECT_EQ(c->BaudIndex(), 1);
}

// --- What the window draws and decides -------------------------------------------

SerialPortEntry Present(const char* device, const char* byId, const char* display)
{
    SerialPortEntry e;
    e.Device = device;
    e.Path = byId;
    e.Display = display;
    return e;
}

const std::vector<SerialPortEntry> TwoAdapters = {
    Present("/dev/ttyACM0", "/dev/serial/by-id/usb-Meter_Link-if00", "ttyACM0: Meter Link"),
    Present("/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_A10K3XYZ-if00-port0",
            "ttyUSB0: FTDI FT232R USB UART, № A10K3XYZ"),
};

TEST_F(Controller, ThePortListHoldsTheComPortsTheDevicesPresentAndAnAbsentChoice)
{
    ASSERT_TRUE(c->CBPortChange(2));
    struct Case {
        const char* name;
        const char* device; // the settings' choice by name
        std::vector<SerialPortEntry> present;
        bool absent; // the choice is offered at the end, marked
        int selected;
        const char* hint;
    } cases[] = {
        {"no device chosen: the COM number", "", TwoAdapters, false, 2, "COM3 = /dev/ttyS2"},
        {"chosen by its stable name", "/dev/serial/by-id/usb-FTDI_FT232R_A10K3XYZ-if00-port0", TwoAdapters, false, 17,
         "ttyUSB0 = /dev/serial/by-id/usb-FTDI_FT232R_A10K3XYZ-if00-port0"},
        {"chosen by the kernel's name", "/dev/ttyACM0", TwoAdapters, false, 16,
         "ttyACM0 = /dev/serial/by-id/usb-Meter_Link-if00"},
        {"chosen but unplugged", "/dev/serial/by-id/usb-Gone-if00", TwoAdapters, true, 18,
         "/dev/serial/by-id/usb-Gone-if00 (нет) = /dev/serial/by-id/usb-Gone-if00"},
        {"chosen, nothing plugged in", "/dev/ttyUSB3", {}, true, 16, "/dev/ttyUSB3 (нет) = /dev/ttyUSB3"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(c->SelectDevice(k.device));
        const PortList& list = c->FillPorts(k.present);
        ASSERT_EQ(list.Entries.size(), 16 + k.present.size() + (k.absent ? 1 : 0));
        for (int n = 1; n <= 16; ++n) {
            const PortListEntry& e = list.Entries[static_cast<std::size_t>(n - 1)];
            EXPECT_EQ(e.Text, "COM" + std::to_string(n));
            EXPECT_EQ(e.Path, c->PortPath(n - 1));
            EXPECT_EQ(e.ComNumber, n);
        }
        for (std::size_t i = 0; i < k.present.size(); ++i) {
            EXPECT_EQ(list.Entries[16 + i].Text, k.present[i].Display);
            EXPECT_EQ(list.Entries[16 + i].Path, k.present[i].Path) << "a device is kept by its stable name";
            EXPECT_EQ(list.Entries[16 + i].ComNumber, 0);
        }
        if (k.absent) {
            EXPECT_EQ(list.Entries.back().Text, std::string(k.device) + " (нет)");
            EXPECT_EQ(list.Entries.back().Path, k.device);
            EXPECT_EQ(list.Entries.back().ComNumber, 0);
        }
        EXPECT_EQ(list.Selected, k.selected);
        EXPECT_EQ(list.Entries[static_cast<std::size_t>(list.Selected)].Hint(), k.hint);
    }
    EXPECT_TRUE(host.Messages().empty()) << testing::PrintToString(host.Messages());
}

TEST_F(Controller, AnEntryOfThePortListStoresItsComNumberOrItsDevice)
{
    const auto stored = [&] {
        Settings s;
        std::string error;
        EXPECT_TRUE(s.Open(folders.SettingsFile, error)) << error;
        return std::pair{s.Port(), s.Device()};
    };
    c->FillPorts(TwoAdapters);
    ASSERT_TRUE(c->CBPortChange(17));
    EXPECT_EQ(stored(), std::pair(1, std::string("/dev/serial/by-id/usb-FTDI_FT232R_A10K3XYZ-if00-port0")));
    EXPECT_EQ(c->CurrentPortChoice().Path, "/dev/serial/by-id/usb-FTDI_FT232R_A10K3XYZ-if00-port0");

    // Unplugged: the remembered device is offered, and choosing it keeps it.
    c->FillPorts({});
    ASSERT_EQ(c->Ports().Entries.size(), 17u);
    ASSERT_TRUE(c->CBPortChange(16));
    EXPECT_EQ(stored().second, "/dev/serial/by-id/usb-FTDI_FT232R_A10K3XYZ-if00-port0");

    // A COM number gives the device up.
    ASSERT_TRUE(c->CBPortChange(15));
    EXPECT_EQ(stored(), std::pair(16, std::string()));
    EXPECT_EQ(c->FillPorts(TwoAdapters).Selected, 15);

    // Refused: while connected, while an operation runs, and past the end of the list.
    const auto before = stored();
    c->HostOfWorkflow().SetConnectButtons(false, true);
    EXPECT_FALSE(c->CBPortChange(16));
    EXPECT_FALSE(c->CBPortChange(0));
    c->HostOfWorkflow().SetConnectButtons(true, false);
    EXPECT_FALSE(c->CBPortChange(16, true));
    EXPECT_FALSE(c->CBBaudChange(1, true));
    EXPECT_FALSE(c->CBPortChange(18));
    EXPECT_FALSE(c->CBPortChange(-1));
    EXPECT_EQ(stored(), before);
    EXPECT_EQ(c->BaudIndex(), 0);
    EXPECT_TRUE(host.Messages().empty()) << testing::PrintToString(host.Messages());

    EXPECT_EQ(PortChangeRefusal(false), "Порт меняется только после отключения");
    EXPECT_EQ(BaudChangeRefusal(false), "Скорость меняется только после отключения");
    EXPECT_EQ(PortChangeRefusal(true), "Подождите: идёт обмен с прибором");
    EXPECT_EQ(BaudChangeRefusal(true), "Подождите: идёт обмен с прибором");
}

TEST_F(Controller, ASlotColumnIsDrawnFromItsSlot)
{
    c->Dev().Slot(1) = MakeSlot(1, 1, 1, "12064001");
    c->RebuildSlots(true);
    c->CBDev01Click(1, false);
    struct Case {
        int slot;
        bool configured;
        MainController::PollBoxState poll;
        std::vector<std::string> boxes;
    } cases[] = {
        // The user's cleared check mark is kept; the boxes are still shown.
        {1,
         true,
         {true, false},
         {"EG01", "EZero01", "EKU01", "EG011", "EG012", "EG013", "EG014", "EG015", "EG016", "EG017", "EG018"}},
        {2,
         false,
         {false, false},
         {"EG02", "EZero02", "EKU02", "EG021", "EG022", "EG023", "EG024", "EG025", "EG026", "EG027", "EG028"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.slot);
        const MainController::SlotColumn column = c->Column(k.slot);
        EXPECT_EQ(column.View.Configured, k.configured);
        EXPECT_EQ(column.View.Picture, k.configured ? "K64" : "NC");
        EXPECT_EQ(column.Poll.Enabled, k.poll.Enabled);
        EXPECT_EQ(column.Poll.Checked, k.poll.Checked);
        EXPECT_EQ(column.ButtonsEnabled, k.configured);
        ASSERT_EQ(column.Boxes.size(), k.boxes.size());
        for (std::size_t i = 0; i < k.boxes.size(); ++i) {
            const MainController::BoxState& box = column.Boxes[i];
            const std::string& name = k.boxes[i];
            EXPECT_EQ(box.Name, name);
            EXPECT_EQ(box.Enabled, k.configured) << name;
            EXPECT_EQ(box.Emptied, !k.configured) << name << ": a configured slot keeps its texts";
            const BoxColour shown = i == 0 ? TooltipBackground : ShownColour;
            EXPECT_EQ(box.Colour, k.configured ? shown : EmptySlotColour) << name;
        }
    }
}

TEST(WindowRules, HandlersRefuseWhileClosingAndWhileBusy)
{
    struct Case {
        bool closing, operation;
        int dialogs;
        bool refused;
        const char* word;
    } cases[] = {
        {false, false, 0, false, ""},
        {false, true, 0, true, "Подождите: идёт обмен с прибором"},
        {false, false, 1, true, "Подождите: идёт обмен с прибором"},
        // Closing has begun: nothing starts, and no word hides the closing one.
        {true, true, 1, true, ""},
        {true, false, 0, true, ""},
    };
    for (const Case& k : cases) {
        const HandlerRefusal r = RefusalOfHandler(k.closing, k.operation, k.dialogs);
        EXPECT_EQ(r.Refused, k.refused) << k.closing << k.operation << k.dialogs;
        EXPECT_EQ(r.Word, k.word) << k.closing << k.operation << k.dialogs;
    }
}

TEST(WindowRules, ClosingWaitsForWhatIsUnderWay)
{
    using Step = CloseDecision::Step;
    struct Case {
        const char* name;
        CloseSituation now;
        Step next;
        const char* word;
        int retryMs;
    } cases[] = {
        {"nothing under way", {false, false, 0}, Step::CloseNow, "", 0},
        {"the window's own dialog, even during an operation", {true, true, 0}, Step::CancelDialog, "", 0},
        {"an operation", {false, true, 0}, Step::WaitForOperation, "Программа закроется после окончания обмена", 0},
        {"an operation that asks a question",
         {true, true, 1},
         Step::WaitForOperation,
         "Программа закроется после окончания обмена",
         0},
        {"the workflow's dialogs unwinding", {true, false, 2}, Step::Retry, "", 20},
    };
    for (const Case& k : cases) {
        const CloseDecision d = DecideClose(k.now);
        EXPECT_EQ(d.Next, k.next) << k.name;
        EXPECT_EQ(d.Word, k.word) << k.name;
        EXPECT_EQ(d.RetryMs, k.retryMs) << k.name;
    }
}

} // namespace
