#include "MeterRelay.h"

namespace metersim {

namespace {

std::uint16_t Address16(const Bytes& d)
{
    return static_cast<std::uint16_t>((d[0] << 8) | d[1]);
}

std::string Hex2(std::uint8_t group, std::uint8_t command)
{
    const Bytes b{group, command};
    return FormatHex(b, true);
}

} // namespace

MeterRelay::MeterRelay(std::string model)
    : Meter("relay", std::move(model), UINT32_MAX, "serial"), texts_({"id", "version", "subversion"}, prelay::kMaxData)
{
    AddArea("rtc2k", 0x10000, 0xFF);
    AddArea("ram", 0x10000, 0xFF);
    SetFaultMenu({"relay",
                  {"silent", "delay_ms", "noise", "bad_checksum", "drop_last_byte", "drop_byte", "unplug"},
                  {{"bad_complement", "a relay frame carries no address complement to break"}}});
}

void MeterRelay::Load(json& entry, const std::string& where)
{
    if (auto texts = Take(entry, "texts")) texts_.Load(*texts, where + ".texts");
    if (auto net = Take(entry, "net_address"))
        netAddress_ = static_cast<std::uint8_t>(ToUnsigned(*net, 255, where + ".net_address"));
    Meter::Load(entry, where);
    if (Address() == prelay::kBroadcast)
        throw ScenarioError(where + ".serial: 44400000 is the broadcast address, no meter's serial number");
}

json MeterRelay::Dump() const
{
    json d = Meter::Dump();
    d["texts"] = texts_.Source();
    d["verification"] = verification_;
    if (netAddress_) d["net_address"] = *netAddress_;
    d["calibration_resets"] = calibrationResets_;
    return d;
}

bool MeterRelay::IsVerificationSwitch(const prelay::Request& r, bool& on)
{
    if (!r.data.empty()) return false;
    if (r.group == 0x31 && r.command == 0x7A) {
        on = true;
        return true;
    }
    if (r.group == 0xA8 && r.command == 0x53) {
        on = false;
        return true;
    }
    return false;
}

Answer MeterRelay::Handle(const prelay::Request& r)
{
    const Bytes& d = r.data;
    auto malformed = [&r]() {
        return Answer::Silent("malformed request " + Hex2(r.group, r.command) + " with " +
                              std::to_string(r.data.size()) + " data bytes");
    };
    bool on = false;
    if (IsVerificationSwitch(r, on)) {
        verification_ = on;
        return Answer::Silent(std::string("verification mode ") + (on ? "on" : "off") + " (never answered)");
    }
    switch ((r.group << 8) | r.command) {
    case 0x0000:
    case 0x0001:
        if (!d.empty()) return malformed();
        return Answer::With(texts_.Get(r.command == 0 ? "id" : "version"));
    case 0x0003:
        if (!d.empty()) return malformed();
        return Answer::With(texts_.Get("subversion"));
    case 0x0F01: // Rtc2k read: address high, low, count
    case 0x0C01: // RAM read: same layout
        if (d.size() != 3) return malformed();
        return ReadArea(r.group == 0x0F ? "rtc2k" : "ram", Address16(d), d[2], prelay::kMaxData);
    case 0x0F81: // Rtc2k write: address high, low, data; answered with the bytes as stored
    case 0x0A42:
        if (d.size() < 2) return malformed();
        return WriteArea("rtc2k", Address16(d), Bytes(d.begin() + 2, d.end()), true);
    case 0x0F64:
        if (!d.empty()) return malformed();
        ++calibrationResets_;
        ResetCalibrationTable();
        return Answer::With({0x01});
    default: return Answer::Silent("unknown command " + Hex2(r.group, r.command));
    }
}

} // namespace metersim
