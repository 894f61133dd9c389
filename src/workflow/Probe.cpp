#include "Probe.h"

#include "SlotDrivers.h"

#include <cstring>
#include <initializer_list>
#include <string_view>

namespace {

enum class Identity { NotRead, Contains, Equals, PartOf };
enum class Success { IdentityMatched, SerialNotEmpty };
enum class Extra { None, ModificationByte, InductionChannels };

struct ProbeRow {
    std::uint32_t packetTimeout; // 0: the driver's own
    std::uint32_t byteTimeout;
    Identity identity;
    std::initializer_list<std::string_view> texts;
    Extra extra;
    std::uint16_t extraAddress;                // modification byte (Rtc2k) or induction word (Rtc128)
    std::initializer_list<std::uint32_t> inductionWords;
    Success success;
};

// How the meter of each type code is identified.
// clang-format off
const ProbeRow ProbeTable[17] = {
    {0,   0,   Identity::NotRead,  {},                           Extra::None,              0,   {},               Success::SerialNotEmpty},  // 0
    {500, 100, Identity::Contains, {"KVT-64"},                   Extra::ModificationByte,  13,  {},               Success::IdentityMatched}, // 1
    {500, 80,  Identity::Equals,   {"KVT64-1"},                  Extra::None,              0,   {},               Success::SerialNotEmpty},  // 2
    {500, 100, Identity::Contains, {"КВТ-61", "МИРВАЛ-ТС-К"},     Extra::None,              0,   {},               Success::SerialNotEmpty},  // 3
    {500, 80,  Identity::Contains, {"KVT-66"},                   Extra::InductionChannels, 128, {218502},         Success::IdentityMatched}, // 4
    {300, 40,  Identity::Contains, {"KVT-76"},                   Extra::InductionChannels, 128, {218502, 225315}, Success::IdentityMatched}, // 5
    {500, 150, Identity::Equals,   {"KVT-64M", "MIRVAL-TC"},     Extra::ModificationByte,  500, {},               Success::IdentityMatched}, // 6
    {500, 150, Identity::Equals,   {"KVT-64M-1"},                Extra::None,              0,   {},               Success::IdentityMatched}, // 7
    {500, 80,  Identity::Contains, {"DLN0803-C"},                Extra::None,              0,   {},               Success::SerialNotEmpty},  // 8
    {0,   0,   Identity::NotRead,  {},                           Extra::None,              0,   {},               Success::SerialNotEmpty},  // 9
    {300, 40,  Identity::Contains, {"DLN-805"},                  Extra::None,              0,   {},               Success::SerialNotEmpty},  // 10
    {0,   0,   Identity::NotRead,  {},                           Extra::None,              0,   {},               Success::SerialNotEmpty},  // 11
    {300, 40,  Identity::Contains, {"DLN-08.07"},                Extra::None,              0,   {},               Success::SerialNotEmpty},  // 12
    {500, 150, Identity::Equals,   {"DLN-0809"},                 Extra::None,              0,   {},               Success::IdentityMatched}, // 13
    {500, 150, Identity::Equals,   {"KVT-64KU"},                 Extra::None,              0,   {},               Success::IdentityMatched}, // 14
    {500, 150, Identity::PartOf,   {"GZU-08"},                   Extra::None,              0,   {},               Success::IdentityMatched}, // 15
    // The dialogs never offer 16; the command line probes it as the other M4 meters.
    {0,   0,   Identity::NotRead,  {},                           Extra::None,              0,   {},               Success::SerialNotEmpty},  // 16
};
// clang-format on

bool IdentityMatches(const ProbeRow& row, const std::string& id)
{
    for (auto text : row.texts) {
        switch (row.identity) {
        case Identity::Contains:
            if (id.find(text) != std::string::npos) return true;
            break;
        case Identity::Equals:
            if (id == text) return true;
            break;
        case Identity::PartOf:
            if (!id.empty() && text.find(id) != std::string_view::npos) return true;
            break;
        case Identity::NotRead:
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
    if (request.TypeCode == 0 || request.TypeCode > 16) {
        result.Messages.push_back({NoContact, "Предупреждение"});
        return result;
    }
    const ProbeRow& row = ProbeTable[request.TypeCode];
    SlotDriver driver = MakeSlotDriver(request.TypeCode);
    bool extraOk = true;
    WithDriver(driver, [&](auto& d) {
        d.SetComPort(&port);
        if (row.packetTimeout) d.SetPacketTimeout(row.packetTimeout);
        if (row.byteTimeout) d.SetByteTimeout(row.byteTimeout);
        d.SetEWrite(false); // identifying a meter never writes to it
        if (request.TypeCode != 15) d.SetNetAddr(request.NetAddress);
        if constexpr (requires { d.SetGZU_NetAddr(0u); })
            if (request.TypeCode == 14 || request.TypeCode == 15) d.SetGZU_NetAddr(request.RelayAddress);

        bool matched = true;
        if (row.identity != Identity::NotRead) {
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
        if (matched && row.extra == Extra::ModificationByte && request.WantChannel2) {
            if constexpr (requires(std::uint8_t* b) { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 1), 1); }) {
                std::uint8_t b[1] = {0};
                d.ReadRtc2k(row.extraAddress, std::span<std::uint8_t>(b, 1), 1);
                if (d.LastError() == 0 && (b[0] == 1 || b[0] == 3)) {
                    result.NoChannel2 = true;
                    result.Messages.push_back({"В данной модификации прибора отсутствует канал G2.\r\n"
                                               "Выберите другой канал расхода.",
                                               "Ошибка"});
                }
            }
        }
        if (matched && row.extra == Extra::InductionChannels) {
            if constexpr (requires(std::uint8_t* b) { d.ReadRtc128(std::uint8_t{}, std::span<std::uint8_t>(b, 4), 4); }) {
                std::uint8_t b[4] = {0, 0, 0, 0};
                d.ReadRtc128(static_cast<std::uint8_t>(row.extraAddress), std::span<std::uint8_t>(b, 4), 4);
                const std::uint32_t word = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
                extraOk = d.LastError() == 0;
                if (extraOk) {
                    extraOk = false;
                    for (auto w : row.inductionWords) extraOk = extraOk || w == word;
                }
                if (!extraOk) result.Messages.push_back({"В приборе нет индукционных каналов расхода.", "Ошибка"});
            }
        }
        result.Ok = row.success == Success::SerialNotEmpty ? !result.SerialText.empty() : matched && extraOk;
    });
    if (!result.Ok) result.Messages.push_back({NoContact, "Предупреждение"});
    return result;
}

std::vector<std::uint8_t> TypesForIdentity(const std::string& id)
{
    std::vector<std::uint8_t> codes;
    for (std::uint8_t code = 1; code <= 16; ++code) {
        const ProbeRow& row = ProbeTable[code];
        if (row.identity != Identity::NotRead && IdentityMatches(row, id)) codes.push_back(code);
    }
    return codes;
}
