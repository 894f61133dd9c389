// clbtool types: the meter types of the catalogue, with their code, name,
// protocol and number of channels.
#include "Commands.h"

#include "DeviceCatalogue.h"
#include "ToolContext.h"

using nlohmann::json;

namespace {

const char* ProtocolName(ProtocolFamily p)
{
    switch (p) {
    case ProtocolFamily::Proto6x: return "6x";
    case ProtocolFamily::Proto6xRelay: return "6x через ретранслятор";
    case ProtocolFamily::M4: return "M4";
    case ProtocolFamily::ModBus: return "ModBus";
    case ProtocolFamily::None: break;
    }
    return "-";
}

// Code 16 is never offered by the dialogs and has no entry for it; its meter
// has the two channels its driver takes.
int Channels(const DeviceTypeInfo& t)
{
    return t.TwoChannels.value_or(true) ? 2 : 1;
}

std::string PadRight(const std::string& utf8, std::size_t width)
{
    std::size_t shown = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80) ++shown;
    return shown >= width ? utf8 + " " : utf8 + std::string(width - shown, ' ');
}

json TypesJson()
{
    json types = json::array();
    for (const DeviceTypeInfo& t : DeviceCatalogue) {
        if (t.Code == DeviceTypeNone) continue;
        types.push_back({{"code", t.Code},
                         {"name", std::string(t.DisplayName)},
                         {"protocol", ProtocolName(t.Protocol)},
                         {"channels", Channels(t)},
                         {"driver", t.DriverClass ? std::string(*t.DriverClass) : std::string()}});
    }
    return types;
}

void PrintTypes(std::ostream& out, const json& types)
{
    out << PadRight("код", 5) << PadRight("название", 13) << PadRight("протокол", 23) << "каналы\n";
    for (const auto& t : types)
        out << PadRight(std::to_string(t["code"].get<int>()), 5) << PadRight(t["name"].get<std::string>(), 13)
            << PadRight(t["protocol"].get<std::string>(), 23) << t["channels"].get<int>() << "\n";
}

} // namespace

Command TypesCommand()
{
    Command c;
    c.name = "types";
    c.help = "  types\n"
             "      типы приборов: код, название, протокол, число каналов\n";
    c.shared = MeterOptions();
    c.check = [](Options& o) {
        if (!o.args.empty()) throw UsageError{"команда types без аргументов"};
    };
    c.run = [](ToolContext& t) {
        t.result["types"] = TypesJson();
        if (!t.json) PrintTypes(t.out, t.result["types"]);
        return t.Finish(0, {});
    };
    return c;
}
