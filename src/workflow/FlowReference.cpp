#include "FlowReference.h"

#include "ClbThread.h"
#include "DeviceCatalogue.h"
#include "MeterTypes.h"
#include "NumberText.h"
#include "ReadOut.h"
#include "SlotDrivers.h"
#include "TulvDln0808.h"
#include "UlvUtils.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace {

// The protocol and the address a meter answers on a line.
struct LineAddress {
    ProtocolFamily Family = ProtocolFamily::None;
    std::uint32_t Address = 0;
};

LineAddress AddressOf(const DeviceSlot& slot)
{
    const DeviceTypeInfo* type = FindDeviceType(slot.TypeCode());
    if (type == nullptr) return {};
    if (RelayAddressed(slot.TypeCode())) return {type->Protocol, slot.RelayAddress()};
    return {type->Protocol, slot.NetAddress()};
}

std::string TypeText(std::uint8_t code)
{
    const DeviceTypeInfo* type = FindDeviceType(code);
    return type != nullptr ? std::string(type->DisplayName) : "тип " + std::to_string(code);
}

} // namespace

bool ParseReferenceWord(const std::string& text, ReferenceChoice& choice, std::string& error)
{
    if (text == "manual") {
        choice = {};
        choice.Source = ReferenceChoice::Kind::Manual;
        return true;
    }
    constexpr std::string_view prefix = "modbus:";
    if (text.rfind(prefix, 0) != 0) return false;
    std::string number = text.substr(prefix.size());
    double scale = 1;
    if (const std::size_t colon = number.find(':'); colon != std::string::npos) {
        const std::string scaleText = number.substr(colon + 1);
        if (!ParseNumber(scaleText, scale) || !(scale > 0) || !std::isfinite(scale)) {
            error = "Масштаб расхода ModBus образцового прибора \"" + scaleText +
                    "\": нужно число больше нуля (отсчётов на единицу расхода)";
            return false;
        }
        number.resize(colon);
    }
    unsigned address = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), address);
    // The driver keeps network addresses up to 127.
    if (number.empty() || ec != std::errc() || end != number.data() + number.size() || address < 1 || address > 127) {
        error = "Адрес ModBus образцового прибора \"" + number + "\": нужно целое число от 1 до 127";
        return false;
    }
    choice = {};
    choice.Source = ReferenceChoice::Kind::ModBus;
    choice.ModBusAddress = static_cast<std::uint8_t>(address);
    choice.ModBusScale = scale;
    return true;
}

bool NameReferencePort(ReferenceChoice& choice, const std::string& port, const PortChoice& line,
                       const Settings& settings, std::string& error)
{
    if (choice.Source == ReferenceChoice::Kind::Manual) {
        error = "образцовый расход вводится вручную, порт ему не нужен";
        return false;
    }
    PortChoice p = line;
    if (!NamePort(p, port, settings)) {
        error = "COM1..COM16 или путь к устройству";
        return false;
    }
    choice.Port = p;
    return true;
}

bool ReferenceOnLine(const ReferenceChoice& choice, const std::string& linePath)
{
    return !choice.Port || SameDevice(choice.Port->Path, linePath);
}

bool OpenReferencePort(TulvComPort& port, const ReferenceChoice& choice, std::string& error)
{
    if (!choice.Port) {
        error = "у образцового прибора нет своего порта";
        return false;
    }
    SetUpPort(port, *choice.Port,
              choice.Source == ReferenceChoice::Kind::Meter && RelayAddressed(choice.Slot.TypeCode()));
    if (port.Open()) return true;
    error = "Невозможно открыть порт образцового прибора " + choice.Port->Path + "\n" + port.OpenErrorText();
    return false;
}

std::string ReferenceClash(const ReferenceChoice& choice, const DeviceSlot& meter, bool samePort,
                           const std::string& portControl)
{
    if (!samePort || choice.Source == ReferenceChoice::Kind::Manual) return {};
    const LineAddress own = AddressOf(meter);
    const LineAddress ref = choice.Source == ReferenceChoice::Kind::ModBus
                                ? LineAddress{ProtocolFamily::ModBus, choice.ModBusAddress}
                                : AddressOf(choice.Slot);
    if (own.Family == ProtocolFamily::None || own.Family != ref.Family || own.Address != ref.Address) return {};
    return "Образцовый прибор задан на той же линии и по тому же адресу (" + std::to_string(ref.Address) +
           "), что и поверяемый: читался бы сам поверяемый прибор. Укажите адрес образцового прибора или "
           "другой порт (" + portControl + ")";
}

MeterReference::MeterReference(const DeviceSlot& slot, TulvPort& port, const TimeoutProfile& profile, Host& host)
    : FHost(&host)
{
    FDev.Slots[0] = slot;
    FDev.CreateDrivers(port, profile);
}

MeterReference::MeterReference(std::uint8_t modbusAddress, double scale, TulvPort& port, const TimeoutProfile& profile)
    : FModBus(std::make_unique<TulvDln0808>()), FModBusAddress(modbusAddress), FModBusScale(scale)
{
    FModBus->SetComPort(&port);
    FModBus->SetNetAddr(modbusAddress);
    FModBus->SetByteTimeout(static_cast<std::uint32_t>(profile.ByteTimeout));
    FModBus->SetPacketTimeout(static_cast<std::uint32_t>(profile.PacketTimeout));
    if (profile.RepeatCount >= 0 && profile.RepeatCount <= 255)
        FModBus->SetRepeatCount(static_cast<std::uint8_t>(profile.RepeatCount));
}

MeterReference::~MeterReference() = default;

bool MeterReference::Connect(std::string& error)
{
    if (FModBus) {
        FModBus->GetDeviceNumber(FSerial);
        if (FModBus->LastError() != 0) {
            error = "ModBus, адрес " + std::to_string(FModBusAddress) + ": " + ProtocolErrorText(FModBus->LastError());
            return false;
        }
        return true;
    }
    if (!HasDriver(FDev.Driver(1))) {
        error = "тип " + std::to_string(FDev.Slot(1).TypeCode()) + " не известен";
        return false;
    }
    ReadOut readOut(FDev, *FHost);
    bool ok = false;
    try {
        ok = readOut.ReadAllDevices();
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    if (!ok) {
        error = readOut.FailureText().empty() ? std::string("не прочитан") : readOut.FailureText();
        return false;
    }
    FSerial = FDev.Slot(1).SerialText();
    return true;
}

std::string MeterReference::Description() const
{
    std::string text;
    if (FModBus) {
        text = "ModBus, адрес " + std::to_string(FModBusAddress);
        if (FModBusScale != 1) text += ", масштаб " + ShortestText(static_cast<float>(FModBusScale));
    } else {
        const DeviceSlot& s = FDev.Slot(1);
        text = TypeText(s.TypeCode()) + (RelayAddressed(s.TypeCode()) ? ", реле " + std::to_string(s.RelayAddress())
                                                                       : ", адрес " + std::to_string(s.NetAddress()));
        if (s.Channel() > 1) text += ", канал " + std::to_string(s.Channel());
    }
    if (!FSerial.empty() && FSerial != "-") text += ", № " + FSerial;
    return text;
}

bool MeterReference::Read(double& flow, std::string& error)
{
    if (FModBus) {
        const float g = FModBus->ClbReadG(1);
        if (FModBus->LastError() != 0) {
            error = ProtocolErrorText(FModBus->LastError());
            return false;
        }
        flow = g / FModBusScale;
        return true;
    }
    DevManager& dev = FDev;
    const LiveFlow live = ReadLiveFlow(dev.Driver(1), dev.Slot(1), dev.Coefficients(1));
    if (!live.Ok) {
        const ProtocolErrorCode code = DriverLastError(dev.Driver(1));
        error = code != 0 ? ProtocolErrorText(code) : std::string("нет достоверного значения расхода");
        return false;
    }
    flow = live.Flow;
    return true;
}

std::unique_ptr<RunReference> ConnectReference(const ReferenceChoice& choice, TulvPort& line,
                                               const TimeoutProfile& profile, Host& host, std::string& message)
{
    if (choice.Source == ReferenceChoice::Kind::Manual) return std::make_unique<ManualReference>();
    auto meter = choice.Source == ReferenceChoice::Kind::ModBus
                     ? std::make_unique<MeterReference>(choice.ModBusAddress, choice.ModBusScale, line, profile)
                     : std::make_unique<MeterReference>(choice.Slot, line, profile, host);
    std::string error;
    if (meter->Connect(error)) return meter;
    message = "Образцовый прибор: " + error;
    return nullptr;
}

bool ManualReference::Read(double& flow, std::string& error)
{
    (void)flow;
    error = "образцовый расход вводится вручную";
    return false;
}
