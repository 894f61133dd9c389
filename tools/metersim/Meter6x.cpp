#include "Meter6x.h"

#include "Cp1251.h"

#include <bit>
#include <cmath>
#include <limits>

namespace metersim {

namespace {

constexpr const char* kTextKeys[] = {"id", "version", "modification", "subversion"};

std::uint32_t BigEndian(const Bytes& b, std::size_t at, std::size_t count) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < count; ++i)
        v = (v << 8) | b[at + i];
    return v;
}

std::string Hex2(std::uint8_t group, std::uint8_t command) {
    const Bytes b{group, command};
    return FormatHex(b, true);
}

} // namespace

Meter6x::Meter6x(std::string model) : Meter("6x", std::move(model), 255) {
    AddArea("rtc2k", 0x10000, 0xFF);
    AddArea("ram", 0x10000, 0xFF);
    AddArea("rtc128", 0x100, 0xFF);
    AddArea("dataflash", 0x100000000ULL, 0xFF);
}

void Meter6x::Load(json& entry, const std::string& where) {
    if (auto texts = Take(entry, "texts")) {
        const std::string at = where + ".texts";
        RequireObject(*texts, at);
        textSource_ = *texts;
        for (int i = 0; i < kTextCount; ++i) {
            auto v = Take(*texts, kTextKeys[i]);
            if (!v) continue;
            const std::string key = at + "." + kTextKeys[i];
            if (v->is_string()) {
                try {
                    texts_[i] = Utf8ToCp1251(v->get<std::string>());
                } catch (const std::invalid_argument& e) {
                    throw ScenarioError(key + ": " + e.what());
                }
            } else if (v->is_object()) { // {"hex": "0105"}: bytes that are not text, such as a binary version
                json obj = *v;
                auto hex = Take(obj, "hex");
                if (!hex) throw ScenarioError(key + ": expected a text or {\"hex\": ...}");
                RequireNoOtherKeys(obj, key);
                texts_[i] = ToHexBytes(*hex, key + ".hex");
            } else {
                throw ScenarioError(key + ": expected a text or {\"hex\": ...}");
            }
            if (texts_[i].size() > p6x::kMaxData) throw ScenarioError(key + ": longer than 248 bytes");
        }
        RequireNoOtherKeys(*texts, at);
    }
    if (auto sfr = Take(entry, "sfr_tek")) {
        const std::string at = where + ".sfr_tek";
        if (!sfr->is_array() || sfr->size() != 4)
            throw ScenarioError(at + ": expected a list of four numbers");
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

json Meter6x::Dump() const {
    json d = Meter::Dump();
    d["texts"] = textSource_;
    d["sfr_tek"] = sfrTek_;
    return d;
}

Meter6x::Answer Meter6x::Read(const char* areaName, std::uint64_t addr, std::size_t count) {
    MemoryArea* area = Area(areaName);
    if (count > p6x::kMaxData)
        return Answer::Silent("read of " + std::to_string(count) + " bytes does not fit a frame");
    if (!area->Contains(addr, count))
        return Answer::Silent("read of " + std::to_string(count) + " bytes at " + std::to_string(addr) +
                              " past the end of " + areaName);
    return Answer::With(area->Read(addr, count));
}

Meter6x::Answer Meter6x::Write(const char* areaName, std::uint64_t addr, const Bytes& data, bool echo) {
    MemoryArea* area = Area(areaName);
    if (!area->Contains(addr, data.size()))
        return Answer::Silent("write of " + std::to_string(data.size()) + " bytes at " +
                              std::to_string(addr) + " past the end of " + areaName);
    area->Write(addr, data);
    return Answer::With(echo ? area->Read(addr, data.size()) : Bytes{});
}

Meter6x::Answer Meter6x::Handle(const p6x::Request& r) {
    const Bytes& d = r.data;
    auto malformed = [&r]() {
        return Answer::Silent("malformed request " + Hex2(r.group, r.command) + " with " +
                              std::to_string(r.data.size()) + " data bytes");
    };
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
        return Answer::With(texts_[r.command]);
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
    default:
        return Answer::Silent("unknown command " + Hex2(r.group, r.command));
    }
}

} // namespace metersim
