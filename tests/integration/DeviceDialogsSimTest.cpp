// The add-device dialog's OK against simulated meters: the real port on the
// simulator's pseudo-terminal, the real probe, and a host that answers the
// message boxes and records them.
#include "DeviceDialogs.h"
#include "DialogTestHost.h"
#include "MeterSimProcess.h"
#include "UlvComPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <termios.h>
#include <thread>

using nlohmann::json;

namespace {

json Kvt64(int address, json extra = json::object())
{
    json m = {{"address", address}, {"protocol", "6x"}, {"model", "kvt64"}, {"factory_number", 12064000 + address}};
    m.update(extra);
    return m;
}

json Dln0807s(int address)
{
    return {{"address", address}, {"protocol", "6x"}, {"model", "dln0807s"}, {"factory_number", "80700005"}};
}

// A slot as the dialog fills it: the relay address is the serial number edit's
// value (its initial 44400000 for the meters that are not on the relay).
DeviceSlot Configured(int type, int address, int channel, const std::string& serial, std::uint32_t relay = 44400000)
{
    DeviceSlot s;
    s.SetRelayAddress(relay);
    s.SetTypeCode(static_cast<std::uint8_t>(type));
    s.SetNetAddress(static_cast<std::uint8_t>(address));
    s.SetChannel(static_cast<std::uint8_t>(channel));
    s.SetSerialText(serial);
    return s;
}

class AddDevice : public ::testing::Test {
protected:
    void Start(std::vector<json> meters)
    {
        sim = std::make_unique<MeterSimProcess>(json{{"meters", meters}});
        choice = {0, sim->DevicePath(), 9600, {}};
        for (auto& c : dev.Sets)
            c.ReadDone = true;
    }
    // The user opens the dialog, picks a type, an address (or serial number)
    // and channels, and presses OK.
    DevAddLogic::OkResult Add(int type, int address, bool g1 = true, bool g2 = true, std::uint32_t serial = 0)
    {
        dialog.FormShow();
        dialog.TypeChange(type);
        dialog.NetAddrChange(address);
        if (serial) dialog.SerialChange(serial);
        if (dialog.State().G1.Enabled) dialog.G1Click(g1);
        if (dialog.State().G2.Enabled) dialog.G2Click(g2);
        return dialog.BOkClick();
    }
    int Requests(int meter) { return sim->Dump()["meters"][meter]["requests"].get<int>(); }
    bool LogHas(const std::string& bytes)
    {
        const auto lines = sim->LogLines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(" RX ") != std::string::npos && l.find(bytes) != std::string::npos;
        });
    }

    std::unique_ptr<MeterSimProcess> sim;
    DevManager dev;
    TulvComPort port;
    DialogTestHost host;
    PortChoice choice;
    DevAddLogic dialog{dev, port, host, [this] { return choice; }};
};

TEST_F(AddDevice, BothChannelsOfOneMeterFillAnEmptyConfiguration)
{
    Start({Kvt64(3)});
    const auto r = Add(1, 3);
    EXPECT_TRUE(r.Close);
    EXPECT_TRUE(host.Boxes.empty()) << host.Boxes[0].Text;
    EXPECT_EQ(dev.Slot(1).Bytes(), Configured(1, 3, 1, "12064003").Bytes());
    EXPECT_EQ(dev.Slot(2).Bytes(), Configured(1, 3, 2, "12064003").Bytes());
    EXPECT_FALSE(dev.Coefficients(1).ReadDone);
    EXPECT_FALSE(dev.Coefficients(2).ReadDone);
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(port.RequestedSettings().c_cflag & PARENB, 0u) << "no parity for a 6x meter";
    EXPECT_TRUE(LogHas("0F 01 03 00 0D 01")) << "with G2 the modification byte is read";
}

TEST_F(AddDevice, WithOneSlotTakenChannelOneIsAddedAndChannelTwoReported)
{
    Start({Kvt64(3)});
    dev.Slot(1) = Configured(2, 9, 1, "777");
    const auto r = Add(1, 3);
    EXPECT_TRUE(r.Close);
    ASSERT_EQ(host.Boxes.size(), 1u);
    EXPECT_EQ(host.Boxes[0].Text, "Не удалось добавить прибор КВТ-64,канал G2");
    EXPECT_EQ(host.Boxes[0].Caption, "Предупреждение");
    EXPECT_EQ(host.Boxes[0].Icon, MsgIcon::Warning);
    EXPECT_EQ(dev.Slot(1).Bytes(), Configured(2, 9, 1, "777").Bytes());
    EXPECT_EQ(dev.Slot(2).Bytes(), Configured(1, 3, 1, "12064003").Bytes());
    EXPECT_TRUE(dev.Coefficients(1).ReadDone) << "the slot that was kept keeps its read-out";
    EXPECT_FALSE(dev.Coefficients(2).ReadDone);
}

TEST_F(AddDevice, TheSecondChannelOfCode12AnswersAtTheNextAddress)
{
    Start({Dln0807s(5), Dln0807s(6)});
    EXPECT_TRUE(Add(12, 5).Close);
    EXPECT_TRUE(host.Boxes.empty());
    EXPECT_EQ(dev.Slot(1).NetAddress(), 5);
    EXPECT_EQ(dev.Slot(1).Channel(), 1);
    EXPECT_EQ(dev.Slot(2).NetAddress(), 6);
    EXPECT_EQ(dev.Slot(2).Channel(), 2);
    EXPECT_EQ(dev.Slot(1).SerialText(), "80700005");
    EXPECT_EQ(dev.Slot(2).SerialText(), "80700005") << "both channels carry the serial text read at address 5";
    EXPECT_EQ(Requests(1), 0) << "the probe talks to the first channel only";
}

TEST_F(AddDevice, TheSameMeterAndChannelIsRefusedAndTheSlotsStayAsTheyWere)
{
    Start({Kvt64(3)});
    ASSERT_TRUE(Add(1, 3, true, false).Close);
    const auto before = dev.Slots;
    const auto r = Add(1, 3, true, false);
    EXPECT_FALSE(r.Close) << "the dialog stays open";
    EXPECT_EQ(host.Texts(), std::vector<std::string>{"Не удалось добавить прибор КВТ-64,канал G1\r\n"
                                                     "Данный прибор уже есть в списке."});
    EXPECT_EQ(host.Boxes[0].Caption, "Предупреждение");
    EXPECT_EQ(dev.Slot(1).Bytes(), before[0].Bytes());
    EXPECT_EQ(dev.Slot(2).Bytes(), before[1].Bytes());

    // The same meter at another address is another meter.
    host.Boxes.clear();
    sim.reset();
    Start({Kvt64(3), Kvt64(4, {{"factory_number", 12064003}})});
    EXPECT_TRUE(Add(1, 4, true, false).Close);
    EXPECT_TRUE(host.Boxes.empty());
    EXPECT_EQ(dev.Slot(2).NetAddress(), 4);
}

TEST_F(AddDevice, AChannelTwoAlreadyListedIsRefusedAfterChannelOneWasAdded)
{
    Start({Kvt64(3)});
    dev.Slot(1) = Configured(1, 3, 2, "12064003");
    const auto r = Add(1, 3);
    EXPECT_TRUE(r.Close) << "channel 1 was added: the dialog closes on what it did";
    EXPECT_EQ(host.Texts(), std::vector<std::string>{"Не удалось добавить прибор КВТ-64,канал G2\r\n"
                                                     "Данный прибор уже есть в списке."});
    EXPECT_EQ(dev.Slot(1).Bytes(), Configured(1, 3, 2, "12064003").Bytes());
    EXPECT_EQ(dev.Slot(2).Bytes(), Configured(1, 3, 1, "12064003").Bytes());
}

struct ProbeFailure {
    const char* name;
    json meter;
    int type;
    std::vector<std::string> messages;
};

void PrintTo(const ProbeFailure& f, std::ostream* os)
{
    *os << f.name;
}

class AddDeviceProbeFailure : public AddDevice, public ::testing::WithParamInterface<ProbeFailure> {};

TEST_P(AddDeviceProbeFailure, NothingIsAddedAndThePortIsClosed)
{
    Start({GetParam().meter});
    const auto r = Add(GetParam().type, 3);
    EXPECT_FALSE(r.Close);
    EXPECT_EQ(host.Texts(), GetParam().messages);
    for (const auto& b : host.Boxes)
        EXPECT_EQ(b.Icon, MsgIcon::Warning);
    EXPECT_EQ(host.Boxes.back().Caption, "Предупреждение");
    EXPECT_EQ(dev.Slot(1).TypeCode(), 0);
    EXPECT_EQ(dev.Slot(2).TypeCode(), 0);
    EXPECT_FALSE(port.Opened());
}

const char* const NoContact = "Не удалось установить связь с прибором";

INSTANTIATE_TEST_SUITE_P(
    Cases, AddDeviceProbeFailure,
    ::testing::Values(ProbeFailure{"NoMeterAtTheAddress", Kvt64(4), 1, {NoContact}},
                      ProbeFailure{"AMeterOfAnotherType", Kvt64(3), 4, {NoContact}},
                      ProbeFailure{"ASilentMeter", Kvt64(3, {{"faults", {{"silent", true}}}}), 1, {NoContact}},
                      ProbeFailure{"AKvt66WithoutInductionChannels",
                                   {{"address", 3}, {"protocol", "6x"}, {"model", "kvt66"}, {"induction_word", 1}},
                                   4,
                                   {"В приборе нет индукционных каналов расхода.", NoContact}}),
    [](const auto& info) { return std::string(info.param.name); });

// The window gives up a probe from its own thread (Cancel or Escape while it
// runs): the probe ends, says nothing and adds nothing, and the next probe on the same port works.
TEST_F(AddDevice, ACancelledProbeEndsSilentlyAndTheNextOneWorks)
{
    Start({Kvt64(3)});
    std::thread user([&] {
        // Some way into the probe, which takes seconds at this address.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        dialog.Cancel();
    });
    const auto r = Add(1, 4); // nobody answers there
    user.join();
    EXPECT_TRUE(dialog.Cancelled());
    EXPECT_FALSE(r.Close);
    EXPECT_TRUE(host.Boxes.empty()) << host.Boxes[0].Text;
    EXPECT_EQ(dev.Slot(1).TypeCode(), 0);
    EXPECT_FALSE(port.Opened());

    EXPECT_TRUE(Add(1, 3, true, false).Close);
    EXPECT_FALSE(dialog.Cancelled());
    EXPECT_EQ(dev.Slot(1).Bytes(), Configured(1, 3, 1, "12064003").Bytes());
}

TEST_F(AddDevice, APortThatCannotBeOpenedAddsTheMeterUnprobed)
{
    Start({Kvt64(3)});
    ASSERT_TRUE(Add(1, 3, true, false).Close);
    ASSERT_EQ(dev.Slot(1).SerialText(), "12064003");
    choice.Path = "/dev/no-such-port-dialogs";
    const auto r = Add(1, 7, false, true);
    EXPECT_TRUE(r.Close);
    EXPECT_TRUE(host.Boxes.empty()) << "adding without the meter is allowed silently";
    EXPECT_EQ(dev.Slot(2).TypeCode(), 1);
    EXPECT_EQ(dev.Slot(2).NetAddress(), 7);
    EXPECT_EQ(dev.Slot(2).Channel(), 2);
    EXPECT_EQ(dev.Slot(2).SerialText(), "-") << "the serial text of the meter added before is not taken over";
    EXPECT_FALSE(port.Opened());
}

TEST_F(AddDevice, Code1WithOnlyChannelOneDoesNotReadTheModificationByte)
{
    Start({Kvt64(3, {{"modification_byte", 1}})});
    ASSERT_TRUE(Add(1, 3, true, false).Close);
    EXPECT_TRUE(host.Boxes.empty());
    EXPECT_EQ(Requests(0), 2) << "identity and serial number only";
    EXPECT_FALSE(LogHas("0F 01 03 00 0D 01"));
    EXPECT_EQ(dev.Slot(1).Channel(), 1);
    EXPECT_EQ(dev.Slot(2).TypeCode(), 0);
}

TEST_F(AddDevice, ChannelTwoOfAModificationWithoutItIsClearedAndNothingAdded)
{
    Start({Kvt64(3, {{"modification_byte", 3}})});
    const auto r = Add(1, 3);
    EXPECT_FALSE(r.Close);
    EXPECT_EQ(host.Texts(), std::vector<std::string>{"В данной модификации прибора отсутствует канал G2.\r\n"
                                                     "Выберите другой канал расхода."});
    EXPECT_EQ(host.Boxes[0].Caption, "Ошибка");
    EXPECT_FALSE(dialog.State().G2.Checked);
    EXPECT_TRUE(dialog.State().G2.Enabled);
    EXPECT_EQ(dev.Slot(1).TypeCode(), 0);
    EXPECT_FALSE(port.Opened());

    // OK again, now with channel 1 alone.
    EXPECT_TRUE(dialog.BOkClick().Close);
    EXPECT_EQ(dev.Slot(1).Channel(), 1);
    EXPECT_EQ(dev.Slot(2).TypeCode(), 0);
}

TEST_F(AddDevice, NoTypeOrNoChannelIsRefusedWithoutTouchingTheLine)
{
    Start({Kvt64(3)});
    auto r = Add(0, 3);
    EXPECT_FALSE(r.Close);
    EXPECT_TRUE(r.FocusTypeList);
    r = Add(1, 3, false, false);
    EXPECT_FALSE(r.Close);
    EXPECT_FALSE(r.FocusTypeList);
    EXPECT_EQ(host.Texts(),
              (std::vector<std::string>{"Выберите прибор из списка.", "Не выбрано ни одного канала расхода."}));
    for (const auto& b : host.Boxes) {
        EXPECT_EQ(b.Caption, "Ошибка");
        EXPECT_EQ(b.Icon, MsgIcon::Warning);
    }
    EXPECT_EQ(Requests(0), 0);
    EXPECT_EQ(dev.Slot(1).TypeCode(), 0);
}

TEST_F(AddDevice, ARelayMeterIsProbedByItsSerialNumberWithEvenParity)
{
    Start({{{"serial", 44412345}, {"protocol", "relay"}, {"model", "kvt64ku"}},
           {{"serial", 44412346}, {"protocol", "relay"}, {"model", "kvt64ku"}}});
    ASSERT_TRUE(Add(14, 2, true, false, 44412345).Close) << (host.Boxes.empty() ? "" : host.Boxes[0].Text);
    EXPECT_TRUE(port.RequestedSettings().c_cflag & PARENB);
    EXPECT_FALSE(port.RequestedSettings().c_cflag & PARODD);
    EXPECT_EQ(dev.Slot(1).TypeCode(), 14);
    EXPECT_EQ(dev.Slot(1).RelayAddress(), 44412345u);
    EXPECT_EQ(dev.Slot(1).SerialText(), "44412345");
    EXPECT_EQ(dev.Slot(1).Channel(), 1);

    // A second meter on the relay at the same network address is another meter.
    EXPECT_TRUE(Add(14, 2, true, false, 44412346).Close);
    EXPECT_TRUE(host.Boxes.empty());
    EXPECT_EQ(dev.Slot(2).RelayAddress(), 44412346u);
}

} // namespace
