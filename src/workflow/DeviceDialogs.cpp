#include "DeviceDialogs.h"

#include "DeviceCatalogue.h"
#include "Probe.h"
#include "UlvComPort.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

bool HasTwoChannels(int code)
{
    const DeviceTypeInfo* info = FindDeviceType(static_cast<DeviceTypeCode>(code));
    return info && info->TwoChannels.value_or(false);
}

std::string DisplayName(int code)
{
    const DeviceTypeInfo* info = FindDeviceType(static_cast<DeviceTypeCode>(code));
    return info ? std::string(info->DisplayName) : std::string();
}

const char* const CaptionError = "Ошибка";
const char* const CaptionWarning = "Предупреждение";

} // namespace

// --- Add-device dialog ---------------------------------------------------------

DevAddLogic::DevAddLogic(DevManager& dev, TulvComPort& port, Host& host, std::function<PortChoice()> portChoice)
    : FDev(dev), FPort(port), FHost(host), FPortChoice(std::move(portChoice))
{
    FWorking.SetSerialText("-");
}

void DevAddLogic::FormShow()
{
    FState.TypeCode = 0;
    FState.G1.Enabled = false;
    FState.G2.Enabled = false;
}

void DevAddLogic::TypeChange(int code)
{
    if (code < 0 || code > LastListedType) return;
    FState.TypeCode = code;
    FWorking.SetTypeCode(static_cast<std::uint8_t>(code));
    if (HasTwoChannels(code)) {
        FState.G1.Checked = FState.G1.Enabled = true;
        FState.G2.Checked = FState.G2.Enabled = true;
    } else {
        FState.G1.Checked = true;
        FState.G2.Checked = false;
        FState.G1.Enabled = FState.G2.Enabled = false;
    }
    FState.SerialEditVisible = RelayAddressed(static_cast<DeviceTypeCode>(code));
    FState.AddressCaption = FState.SerialEditVisible ? "Серийный номер" : "Сетевой адрес";
    const MeterType& type = MeterTypeOf(static_cast<DeviceTypeCode>(code));
    FState.G1.Caption = std::string(type.Channel1Name);
    FState.G2.Caption = std::string(type.Channel2Name);
}

void DevAddLogic::NetAddrChange(int value)
{
    FState.NetAddress = std::clamp(value, NetAddrMin, NetAddrMax);
}

void DevAddLogic::SerialChange(std::uint32_t value)
{
    FState.SerialNumber = std::clamp(value, SerialMin, SerialMax);
}

void DevAddLogic::G1Click(bool checked)
{
    FState.G1.Checked = checked;
}

void DevAddLogic::G2Click(bool checked)
{
    FState.G2.Checked = checked;
}

void DevAddLogic::Message(const std::string& text, const char* caption)
{
    FHost.MessageBox(text, caption, MsgIcon::Warning, MsgButtons::Ok);
}

int DevAddLogic::FreeSlot() const
{
    for (int n = 1; n <= 2; ++n)
        if (FDev.Slot(n).TypeCode() == 0) return n;
    return 0;
}

bool DevAddLogic::AlreadyListed(std::uint8_t channel, std::uint8_t netAddress) const
{
    for (const DeviceSlot& s : FDev.Slots) {
        if (s.TypeCode() != FWorking.TypeCode() || s.Channel() != channel || s.NetAddress() != netAddress ||
            s.SerialText() != FWorking.SerialText())
            continue;
        // Meters on the relay are told apart by their serial number alone.
        if (RelayAddressed(s.TypeCode()) && s.RelayAddress() != FWorking.RelayAddress()) continue;
        return true;
    }
    return false;
}

void DevAddLogic::Fill(int slot)
{
    FDev.Slot(slot) = FWorking;
    FDev.Coefficients(slot).ReadDone = false;
}

void DevAddLogic::PrepareProbe()
{
    FCancelled = false;
    FPrepared = true;
}

void DevAddLogic::Cancel()
{
    FCancelled = true;
    FPort.Abandon();
}

DevAddLogic::OkResult DevAddLogic::BOkClick()
{
    // A BOkClick not prepared for (called directly) starts afresh; a prepared
    // one keeps a Cancel that came before it began.
    if (!FPrepared.exchange(false)) FCancelled = false;
    const int code = FState.TypeCode;
    FWorking.SetTypeCode(static_cast<std::uint8_t>(code));
    FWorking.SetNetAddress(static_cast<std::uint8_t>(FState.NetAddress));
    FWorking.SetRelayAddress(FState.SerialNumber);

    if (code == 0) {
        Message("Выберите прибор из списка.", CaptionError);
        return {false, true};
    }
    if (!FState.G1.Checked && !FState.G2.Checked) {
        Message("Не выбрано ни одного канала расхода.", CaptionError);
        return {};
    }

    // What is known of the meter's serial number: nothing until it answers.
    FWorking.SetSerialText("-");
    if (!FPort.Opened()) {
        const PortChoice choice = FPortChoice ? FPortChoice() : PortChoice{};
        SetUpPort(FPort, choice, RelayAddressed(static_cast<DeviceTypeCode>(code)));
        // Opening clears an abandon that came before it: the cancel is looked at below.
        if (FPort.Open() && !FCancelled && !FPort.OpenNotice().empty())
            FHost.MessageBox(FPort.OpenNotice(), "Предупреждение", MsgIcon::Warning, MsgButtons::Ok);
    }
    if (FCancelled) {
        FPort.Close();
        return {};
    }
    if (FPort.Opened()) {
        const ProbeResult r =
            ProbeMeter({FWorking.TypeCode(), FWorking.NetAddress(), FWorking.RelayAddress(), FState.G2.Checked}, FPort);
        FPort.Close();
        if (FCancelled) return {};
        for (const ProbeMessage& m : r.Messages)
            FHost.MessageBox(m.Text, m.Caption, MsgIcon::Warning, MsgButtons::Ok);
        if (r.NoChannel2) {
            FState.G2.Checked = false;
            return {};
        }
        if (!r.Ok) return {};
        if (!r.SerialText.empty()) FWorking.SetSerialText(r.SerialText);
    }
    FPort.Close();

    const std::string name = DisplayName(code);
    bool added = false;
    if (FState.G1.Checked) {
        const int slot = FreeSlot();
        if (slot == 0) {
            // Only reached when the dialog is opened with both slots taken.
            Message("Не удалось добавить прибор " + name + ",канал G1", CaptionWarning);
            return {};
        }
        if (AlreadyListed(1, FWorking.NetAddress())) {
            Message("Не удалось добавить прибор " + name + ",канал G1\r\nДанный прибор уже есть в списке.",
                    CaptionWarning);
            return {};
        }
        FWorking.SetChannel(1);
        Fill(slot);
        added = true;
    }
    if (FState.G2.Checked && HasTwoChannels(code)) {
        const bool next = MeterTypeOf(static_cast<DeviceTypeCode>(code)).Channel2NextAddress;
        const auto address = static_cast<std::uint8_t>(FState.NetAddress + (next ? 1 : 0));
        if (AlreadyListed(2, address)) {
            Message("Не удалось добавить прибор " + name + ",канал G2\r\nДанный прибор уже есть в списке.",
                    CaptionWarning);
            // A channel 1 just added stays; the dialog cannot take it back.
            return {added, false};
        }
        const int slot = FreeSlot();
        if (slot == 0) {
            Message("Не удалось добавить прибор " + name + ",канал G2", CaptionWarning);
            return {true, false};
        }
        FWorking.SetNetAddress(address);
        FWorking.SetChannel(2);
        Fill(slot);
    }
    return {true, false};
}

// --- Device selection dialog -----------------------------------------------------

bool DevSelLogic::TwoChannels(int code)
{
    return HasTwoChannels(code);
}

void DevSelLogic::OpenForSlot(int slot)
{
    if (slot != 1 && slot != 2) throw std::out_of_range("slot " + std::to_string(slot));
    FSlot = slot;
    FWorking = FDev.Slot(slot);
    const int code = FWorking.TypeCode();
    FState.TypeIndex = code <= DevAddLogic::LastListedType ? code : -1;
    if (TwoChannels(code)) {
        FState.ChannelsEnabled = true;
        FState.Channel = FWorking.Channel() == 1 ? 1 : 2;
    } else {
        FState.ChannelsEnabled = false;
        FState.Channel = 1;
    }
    NetAddrChange(FWorking.NetAddress());
}

void DevSelLogic::TypeChange(int code)
{
    if (code < 0 || code > DevAddLogic::LastListedType) return;
    FState.TypeIndex = code;
    FWorking.SetTypeCode(static_cast<std::uint8_t>(code));
    if (TwoChannels(code)) {
        FState.ChannelsEnabled = true;
    } else {
        FState.ChannelsEnabled = false;
        FState.Channel = 1;
    }
}

void DevSelLogic::NetAddrChange(int value)
{
    FState.NetAddress = std::clamp(value, NetAddrMin, NetAddrMax);
    FWorking.SetNetAddress(static_cast<std::uint8_t>(FState.NetAddress));
}

void DevSelLogic::ChannelClick(int tag)
{
    if (tag == 1 || tag == 2) FState.Channel = tag;
}

void DevSelLogic::BOkClick()
{
    FWorking.SetChannel(static_cast<std::uint8_t>(FState.Channel == 1 ? 1 : 2));
    FDev.Slot(FSlot) = FWorking;
    FDev.Coefficients(FSlot).ReadDone = false;
}

// --- Timeouts dialog -------------------------------------------------------------

const std::array<const char*, 12> DelaysLogic::DeviceNames = {
    "КВТ-64", "ДЛН-08.05",  "ДЛН-08.05С", "ДЛН-08.07", "ДЛН-08.07С", "КВТ-64К",
    "КВТ-66", "ДЛН-08.03С", "КВТ64-1",    "КВТ-76",    "КВТ64M",     "КВТ64M-1",
};

void DelaysLogic::FormShow()
{
    FWorking = FProfile;
    FState.Selected = 0;
    FState.ByteTimeout = std::clamp<int>(FWorking.ByteTimeout, ByteMin, ByteMax);
    FState.PacketTimeout = std::clamp<int>(FWorking.PacketTimeout, PacketMin, PacketMax);
    FState.RepeatCount = std::clamp<int>(FWorking.RepeatCount, RepeatMin, RepeatMax);
    // What the controls show is what "Сохранить" stores.
    FWorking = {FState.ByteTimeout, FState.PacketTimeout, FState.RepeatCount};
}

void DelaysLogic::LBDevClick(int index)
{
    FState.Selected = index >= 0 && index < static_cast<int>(DeviceNames.size()) ? index : -1;
    if (FState.Selected < 0) return;
    // One profile for every type: each entry shows the same record.
    FState.ByteTimeout = FWorking.ByteTimeout;
    FState.PacketTimeout = FWorking.PacketTimeout;
    FState.RepeatCount = FWorking.RepeatCount;
}

void DelaysLogic::Edit3Change(int value)
{
    FState.ByteTimeout = std::clamp(value, ByteMin, ByteMax);
    if (FState.Selected >= 0) FWorking.ByteTimeout = FState.ByteTimeout;
}

void DelaysLogic::Edit1Change(int value)
{
    FState.PacketTimeout = std::clamp(value, PacketMin, PacketMax);
    if (FState.Selected >= 0) FWorking.PacketTimeout = FState.PacketTimeout;
}

void DelaysLogic::Edit2Change(int value)
{
    FState.RepeatCount = std::clamp(value, RepeatMin, RepeatMax);
    if (FState.Selected >= 0) FWorking.RepeatCount = FState.RepeatCount;
}

bool DelaysLogic::BOkClick()
{
    FProfile = FWorking;
    std::string error;
    if (FSettings.SetTimeouts(FProfile, error)) return true;
    FHost.MessageBox(error, CaptionError, MsgIcon::Error, MsgButtons::Ok);
    return false;
}
