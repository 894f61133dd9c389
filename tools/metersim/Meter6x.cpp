#include "Meter6x.h"

#include <bit>
#include <cmath>
#include <limits>

namespace metersim {

namespace {

constexpr const char* kTextKeys[] = {"id", "version", "modification", "subversion"};

std::uint32_t BigEndian(const Bytes& b, std::size_t at, std::size_t count)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < count; ++i)
        v = (v << 8) | b[at + i];
    return v;
}

std::string Hex2(std::uint8_t group, std::uint8_t command)
{
    const Bytes b{group, command};
    return FormatHex(b, true);
}

} // namespace

Meter6x::Meter6x(std::string model)
    : Meter("6x", std::move(model), 255), texts_({std::begin(kTextKeys), std::end(kTextKeys)}, p6x::kMaxData)
{
    AddArea("rtc2k", 0x10000, 0xFF);
    AddArea("ram", 0x10000, 0xFF);
    AddArea("rtc128", 0x100, 0xFF);
    AddArea("dataflash", 0x100000000ULL, 0xFF);
}

bool Meter6x::IsVerificationSwitch(const p6x::Request& r, bool& on)
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

void Meter6x::Load(json& entry, const std::string& where)
{
    if (auto texts = Take(entry, "texts")) texts_.Load(*texts, where + ".texts");
    if (auto sfr = Take(entry, "sfr_tek")) {
        const std::string at = where + ".sfr_tek";
        if (!sfr->is_array() || sfr->size() != 4) throw ScenarioError(at + ": expected a list of four numbers");
        for (std::size_t i = 0; i < 4; ++i) {
            if (!(*sfr)[i].is_number()) throw ScenarioError(at + ": expected a list of four numbers");
            const double v = (*sfr)[i].get<double>();
            if (std::fabs(v) > std::numeric_limits<float>::max())
                throw ScenarioError(at + ": " + (*sfr)[i].dump() + " does not fit a 4-byte float");
            sfrTek_[i] = static_cast<float>(v);
        }
    }
    Meter::Load(entry, where);
}

json Meter6x::Dump() const
{
    json d = Meter::Dump();
    d["texts"] = texts_.Source();
    d["sfr_tek"] = sfrTek_;
    d["verification"] = verification_;
    return d;
}

Meter6x::Answer Meter6x::Read(const char* area, std::uint64_t addr, std::size_t count)
{
    return ReadArea(area, addr, count, p6x::kMaxData);
}

Meter6x::Answer Meter6x::Write(const char* area, std::uint64_t addr, const Bytes& data, bool echo)
{
    return WriteArea(area, addr, data, echo);
}

Meter6x::Answer Meter6x::Handle(const p6x::Request& r)
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
    case 0x0F01: // Rtc2k read: address high, low, count
    case 0x0C01: // RAM read: same layout
        if (d.size() != 3) return malformed();
        return Read(r.group == 0x0F ? "rtc2k" : "ram", BigEndian(d, 0, 2), d[2]);
    case 0x0F81: // Rtc2k write: address high, low, data
    case 0x0A42: // the alternative Rtc2k write, same layout
        if (d.size() < 2) return malformed();
        return Write("rtc2k", BigEndian(d, 0, 2), Bytes(d.begin() + 2, d.end()), false);
    case 0x0F02: // Rtc128 read: address, count
        if (d.size() != 2) return malformed();
        return Read("rtc128", d[0], d[1]);
    case 0x0F82: // Rtc128 write: address, data; the reply carries the stored bytes
        if (d.size() < 1) return malformed();
        return Write("rtc128", d[0], Bytes(d.begin() + 1, d.end()), true);
    case 0x0F03: // DataFlash read: count, then a 32-bit address
        if (d.size() != 5) return malformed();
        return Read("dataflash", BigEndian(d, 1, 4), d[0]);
    case 0x0000:
    case 0x0001:
    case 0x0002:
    case 0x0003:
        if (!d.empty()) return malformed();
        return Answer::With(texts_.Get(kTextKeys[r.command]));
    case 0x0C00: { // four big-endian IEEE singles
        if (!d.empty()) return malformed();
        Bytes out;
        for (float f : sfrTek_) {
            const auto bits = std::bit_cast<std::uint32_t>(f);
            for (int shift = 24; shift >= 0; shift -= 8)
                out.push_back(static_cast<std::uint8_t>(bits >> shift));
        }
        return Answer::With(out);
    }
    default: return Answer::Silent("unknown command " + Hex2(r.group, r.command));
    }
}

} // namespace metersim
