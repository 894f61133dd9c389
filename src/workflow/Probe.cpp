#include "Probe.h"

#include "MeterTypes.h"
#include "SlotDrivers.h"

#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

bool IdentityMatches(const ProbeRule& row, const std::string& id)
{
    for (auto text : row.Texts) {
        switch (row.Identity) {
        case ProbeIdentity::Contains:
            if (id.find(text) != std::string::npos) return true;
            break;
        case ProbeIdentity::Equals:
            if (id == text) return true;
            break;
        case ProbeIdentity::PartOf:
            if (!id.empty() && text.find(id) != std::string_view::npos) return true;
            break;
        case ProbeIdentity::NotRead:
            return true;
        }
    }
    return false;
}

const char* const NoContact = "Не удалось установить связь с прибором";

} // namespace

ProbeResult ProbeMeter(const ProbeRequest& request, TulvPort& port)
{
    ProbeResult result;
    if (!HasDriver(request.TypeCode)) {
        result.Messages.push_back({NoContact, "Предупреждение"});
        return result;
    }
    const ProbeRule& row = MeterTypeOf(request.TypeCode).Probe;
    SlotDriver driver = MakeSlotDriver(request.TypeCode);
    bool extraOk = true;
    WithDriver(driver, [&](auto& d) {
        d.SetComPort(&port);
        if (row.PacketTimeout) d.SetPacketTimeout(row.PacketTimeout);
        if (row.ByteTimeout) d.SetByteTimeout(row.ByteTimeout);
        d.SetEWrite(false); // identifying a meter never writes to it
        if (row.NetAddressed) d.SetNetAddr(request.NetAddress);
        if constexpr (requires { d.SetGZU_NetAddr(0u); })
            if (RelayAddressed(request.TypeCode)) d.SetGZU_NetAddr(request.RelayAddress);

        bool matched = true;
        if (row.Identity != ProbeIdentity::NotRead) {
            if constexpr (requires(std::string s) { d.GetDevID(s); }) {
                d.GetDevID(result.Identity);
                if (d.LastError() != 0) result.Identity.clear();
            }
            matched = IdentityMatches(row, result.Identity);
        }
        if (matched) {
            std::string serial;
            d.GetDeviceNumber(serial);
            result.SerialText = serial.substr(0, 16);
        }
        if (matched && row.Extra == ProbeExtra::ModificationByte && request.WantChannel2) {
            if constexpr (requires(std::uint8_t* b) { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 1), 1); }) {
                std::uint8_t b[1] = {0};
                d.ReadRtc2k(row.ExtraAddress, std::span<std::uint8_t>(b, 1), 1);
                if (d.LastError() == 0 && (b[0] == 1 || b[0] == 3)) {
                    result.NoChannel2 = true;
                    result.Messages.push_back({"В данной модификации прибора отсутствует канал G2.\r\n"
                                               "Выберите другой канал расхода.",
                                               "Ошибка"});
                }
            }
        }
        if (matched && row.Extra == ProbeExtra::InductionChannels) {
            if constexpr (requires(std::uint8_t* b) { d.ReadRtc128(std::uint8_t{}, std::span<std::uint8_t>(b, 4), 4); }) {
                std::uint8_t b[4] = {0, 0, 0, 0};
                d.ReadRtc128(static_cast<std::uint8_t>(row.ExtraAddress), std::span<std::uint8_t>(b, 4), 4);
                const std::uint32_t word = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
                extraOk = d.LastError() == 0;
                if (extraOk) {
                    extraOk = false;
                    for (auto w : row.InductionWords) extraOk = extraOk || w == word;
                }
                if (!extraOk) result.Messages.push_back({"В приборе нет индукционных каналов расхода.", "Ошибка"});
            }
        }
        result.Ok = row.Success == ProbeSuccess::SerialNotEmpty ? !result.SerialText.empty() : matched && extraOk;
    });
    if (!result.Ok) result.Messages.push_back({NoContact, "Предупреждение"});
    return result;
}

std::vector<std::uint8_t> TypesForIdentity(const std::string& id)
{
    std::vector<std::uint8_t> codes;
    for (DeviceTypeCode code = 1; code <= DeviceTypeLast; ++code) {
        const ProbeRule& row = MeterTypeOf(code).Probe;
        if (row.Identity != ProbeIdentity::NotRead && IdentityMatches(row, id)) codes.push_back(code);
    }
    return codes;
}
