#include "HeatMeter.h"

#include "../Cp1251.h"

#include <array>
#include <bit>
#include <cmath>
#include <limits>

namespace metersim {

namespace {

constexpr float kFactoryValues[10] = {0.0f, 1.0f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};
constexpr std::size_t kScrambledLength = 9; // 8 block bytes and one the meter ignores
constexpr std::size_t kStampLength = 16;

// The keys that mix the two halves of a scrambled block, each half taken least significant byte first.
constexpr std::uint32_t kLowKey = 0x5C3E91A7;
constexpr std::uint32_t kHighKey = 0x2B7D04F6;

// Where the nibbles of the value sit in a block once the keys are taken off: byte, whether the value
// is in its high nibble, and the value's bit at which the nibble starts.
struct NibblePlace {
    int byte;
    bool high;
    int bit;
};
constexpr NibblePlace kNibbles[8] = {{0, false, 24}, {1, true, 4},   {2, true, 20},  {3, false, 12},
                                     {4, true, 8},   {5, false, 16}, {6, false, 28}, {7, false, 0}};

// The 32-bit value a scrambled block carries; block holds its 8 bytes in block order.
std::uint32_t Descramble(std::array<std::uint8_t, 8> block)
{
    auto unmask = [&block](int at, std::uint32_t key) {
        std::uint32_t w = 0;
        for (int i = 3; i >= 0; --i)
            w = (w << 8) | block[at + i];
        w ^= key;
        for (int i = 0; i < 4; ++i)
            block[at + i] = static_cast<std::uint8_t>(w >> (8 * i));
    };
    unmask(0, kLowKey);
    unmask(4, kHighKey);
    std::uint32_t value = 0;
    for (const auto& n : kNibbles) {
        const std::uint32_t nibble = n.high ? block[n.byte] >> 4 : block[n.byte] & 0x0F;
        value |= nibble << n.bit;
    }
    return value;
}

float ToFloat(const json& v, const std::string& where)
{
    if (!v.is_number()) throw ScenarioError(where + ": expected a number, got " + v.dump());
    const double d = v.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max())
        throw ScenarioError(where + ": " + v.dump() + " does not fit a 4-byte float");
    return static_cast<float>(d);
}

std::vector<float> ToFloats(const json& v, std::size_t count, const std::string& where)
{
    if (!v.is_array() || v.size() != count)
        throw ScenarioError(where + ": expected a list of " + std::to_string(count) + " numbers");
    std::vector<float> out;
    for (std::size_t i = 0; i < count; ++i)
        out.push_back(ToFloat(v[i], where + "[" + std::to_string(i) + "]"));
    return out;
}

bool IsWrite(const p6x::Request& r)
{
    return (r.group == 0x0F && r.command == 0x81) || (r.group == 0x0A && r.command == 0x42);
}

} // namespace

HeatMeter6x::HeatMeter6x(std::string model, HeatMeterLayout layout)
    : Meter6x(std::move(model)), layout_(std::move(layout))
{
    // As the meter leaves the factory.
    for (const auto& cells : layout_.channels) {
        const std::vector<float> factory(std::begin(kFactoryValues), std::end(kFactoryValues));
        StoreTable(cells, factory, true);
        StoreTable(cells, factory, false);
    }
    LoadFactoryNumber(layout_.factoryNumber, "factory_number");
    for (std::size_t c = 0; c < layout_.gmaxCells.size(); ++c)
        Put("rtc2k", layout_.gmaxCells[c], Single(layout_.gmax.at(c)));
    for (std::uint16_t cell : layout_.liveG)
        Put("ram", cell, Single(0.0f));
    for (std::uint16_t cell : layout_.liveSfr)
        Put("ram", cell, Single(0.0f));
    SealBlock();
}

void HeatMeter6x::Put(const char* areaName, std::uint64_t addr, const Bytes& bytes)
{
    Area(areaName)->Write(addr, bytes);
}

Bytes HeatMeter6x::Word(std::uint32_t value) const
{
    Bytes out(4);
    for (int i = 0; i < 4; ++i) {
        const int shift = layout_.bigEndian ? 24 - 8 * i : 8 * i;
        out[i] = static_cast<std::uint8_t>(value >> shift);
    }
    return out;
}

Bytes HeatMeter6x::Single(float value) const
{
    return Word(std::bit_cast<std::uint32_t>(value));
}

std::optional<std::uint64_t> HeatMeter6x::TakeUnsigned(json& entry, const char* key, std::uint64_t max,
                                                       const std::string& where)
{
    auto v = Take(entry, key);
    if (!v) return std::nullopt;
    return ToUnsigned(*v, max, where + "." + key);
}

void HeatMeter6x::Load(json& entry, const std::string& where)
{
    // The type's own texts unless the scenario gives them (a malformed "texts" is left to Meter6x to
    // report).
    json& texts = entry["texts"];
    if (texts.is_null()) texts = json::object();
    if (texts.is_object())
        for (auto it = layout_.texts.begin(); it != layout_.texts.end(); ++it)
            if (!texts.contains(it.key())) texts[it.key()] = it.value();

    if (auto v = Take(entry, "factory_number")) LoadFactoryNumber(*v, where + ".factory_number");
    if (!layout_.gmaxCells.empty())
        if (auto v = Take(entry, "gmax")) LoadPerChannel(*v, layout_.gmaxCells, "rtc2k", where + ".gmax");
    if (auto v = Take(entry, "live")) LoadLive(entry, *v, where + ".live");
    if (auto v = Take(entry, "tables")) LoadTables(*v, where + ".tables");
    SealBlock();
    Meter6x::Load(entry, where);
}

void HeatMeter6x::LoadFactoryNumber(const json& v, const std::string& where)
{
    if (layout_.numberForm == HeatMeterLayout::NumberForm::Integer32) {
        Put("rtc2k", layout_.numberCell, Word(static_cast<std::uint32_t>(ToUnsigned(v, UINT32_MAX, where))));
        return;
    }
    Bytes text;
    if (v.is_string()) {
        try {
            text = Utf8ToCp1251(v.get<std::string>());
        } catch (const std::invalid_argument& e) {
            throw ScenarioError(where + ": " + e.what());
        }
    } else if (v.is_object()) {
        json obj = v;
        auto hex = Take(obj, "hex");
        if (!hex) throw ScenarioError(where + ": expected a text or {\"hex\": ...}");
        RequireNoOtherKeys(obj, where);
        text = ToHexBytes(*hex, where + ".hex");
    } else {
        throw ScenarioError(where + ": expected a text of 8 characters or {\"hex\": ...} of 8 bytes");
    }
    if (text.size() != 8)
        throw ScenarioError(where + ": the meter keeps exactly 8 characters, got " + std::to_string(text.size()));
    Put("rtc2k", layout_.numberCell, text);
}

void HeatMeter6x::LoadPerChannel(const json& v, const std::vector<std::uint16_t>& cells, const char* area,
                                 const std::string& where)
{
    if (cells.size() == 1) {
        Put(area, cells[0], Single(ToFloat(v, where)));
        return;
    }
    const auto values = ToFloats(v, cells.size(), where);
    for (std::size_t c = 0; c < cells.size(); ++c)
        Put(area, cells[c], Single(values[c]));
}

void HeatMeter6x::LoadLive(json& entry, json& v, const std::string& where)
{
    RequireObject(v, where);
    auto g = Take(v, "G");
    if (layout_.liveThroughSfrTek) {
        // The meter answers its live values to 0C 00 only: G of channel n is value n there.
        RequireNoOtherKeys(v, where);
        if (!g) return;
        if (entry.contains("sfr_tek")) throw ScenarioError(where + ".G: give either this or \"sfr_tek\"");
        const auto values = ToFloats(*g, 2, where + ".G");
        entry["sfr_tek"] = json::array({values[0], values[1], 0.0, 0.0});
        return;
    }
    auto sfr = Take(v, "SFR");
    RequireNoOtherKeys(v, where);
    if (g) LoadPerChannel(*g, layout_.liveG, "ram", where + ".G");
    if (sfr) LoadPerChannel(*sfr, layout_.liveSfr, "ram", where + ".SFR");
}

void HeatMeter6x::LoadTables(const json& v, const std::string& where)
{
    RequireObject(v, where);
    json rest = v;
    for (std::size_t c = 0; c < layout_.channels.size(); ++c) {
        const std::string key = std::to_string(c + 1);
        auto channel = Take(rest, key);
        if (!channel) continue;
        const std::string at = where + "." + key;
        RequireObject(*channel, at);
        auto k = Take(*channel, "K");
        auto obr = Take(*channel, "Obr");
        RequireNoOtherKeys(*channel, at);
        std::vector<float> kValues, obrValues;
        if (k) kValues = ToFloats(*k, 10, at + ".K");
        if (obr) obrValues = ToFloats(*obr, 10, at + ".Obr");
        if (k && obr && (kValues[0] != obrValues[0] || kValues[1] != obrValues[1]))
            throw ScenarioError(at + ": K0 and Ku are one pair of cells; K and Obr must agree in their first two "
                                     "values");
        if (k) StoreTable(layout_.channels[c], kValues, true);
        if (obr) StoreTable(layout_.channels[c], obrValues, false);
    }
    if (!rest.empty())
        RequireNoOtherKeys(rest,
                           where + (layout_.channels.size() == 1 ? " (this meter has cells for \"1\" only)"
                                                                 : " (this meter has cells for \"1\" and \"2\")"));
}

void HeatMeter6x::StoreTable(const HeatMeterLayout::Cells& cells, const std::vector<float>& values, bool k)
{
    Put("rtc2k", cells.k0, Single(values[0]));
    Put("rtc2k", cells.ku, Single(values[1]));
    const std::uint16_t points = k ? cells.kPoints : cells.obrPoints;
    for (int p = 0; p < 8; ++p)
        Put("rtc2k", points + 4 * p, Single(values[2 + p]));
}

void HeatMeter6x::SealBlock()
{
    if (!layout_.block) return;
    const std::uint16_t sum = BlockSum(*Area("rtc2k"));
    Put("rtc2k", layout_.block->start + layout_.block->length,
        Bytes{static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)});
}

std::uint16_t HeatMeter6x::BlockSum(const MemoryArea& rtc2k) const
{
    std::uint16_t sum = 0;
    for (std::uint8_t b : rtc2k.Read(layout_.block->start, layout_.block->length))
        sum = static_cast<std::uint16_t>(sum + b);
    return static_cast<std::uint16_t>(~sum);
}

bool HeatMeter6x::IsCoefficientCell(std::uint32_t addr) const
{
    for (const auto& c : layout_.channels) {
        if (addr == c.k0 || addr == c.ku) return true;
        for (std::uint16_t points : {c.kPoints, c.obrPoints})
            if (addr >= points && addr < points + 32u && (addr - points) % 4 == 0) return true;
    }
    return false;
}

Meter6x::Answer HeatMeter6x::Handle(const p6x::Request& r)
{
    if (layout_.scrambledWrites && IsWrite(r) && r.data.size() == 2 + kScrambledLength) {
        const std::uint32_t cell = (r.data[0] << 8) | r.data[1];
        if (IsCoefficientCell(cell)) {
            std::array<std::uint8_t, 8> block{};
            for (std::size_t i = 0; i < 8; ++i) // a big-endian meter receives the block reversed
                block[i] = r.data[2 + (layout_.bigEndian ? 7 - i : i)];
            return Write("rtc2k", cell, Word(Descramble(block)), false);
        }
    }
    return Meter6x::Handle(r);
}

const MemoryArea& HeatMeter6x::Rtc2k() const
{
    for (const auto& area : Areas())
        if (area.Name() == "rtc2k") return area;
    throw std::logic_error("a 6x meter without rtc2k");
}

float HeatMeter6x::CellValue(const MemoryArea& rtc2k, std::uint16_t cell) const
{
    const Bytes b = rtc2k.Read(cell, 4);
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits = (bits << 8) | b[layout_.bigEndian ? i : 3 - i];
    return std::bit_cast<float>(bits);
}

json HeatMeter6x::Dump() const
{
    json d = Meter6x::Dump();
    const MemoryArea& rtc2k = Rtc2k();
    json tables = json::object();
    for (std::size_t c = 0; c < layout_.channels.size(); ++c) {
        const auto& cells = layout_.channels[c];
        json k = json::array(), obr = json::array();
        for (json* table : {&k, &obr}) {
            table->push_back(CellValue(rtc2k, cells.k0));
            table->push_back(CellValue(rtc2k, cells.ku));
        }
        for (int p = 0; p < 8; ++p) {
            k.push_back(CellValue(rtc2k, cells.kPoints + 4 * p));
            obr.push_back(CellValue(rtc2k, cells.obrPoints + 4 * p));
        }
        tables[std::to_string(c + 1)] = {{"K", k}, {"Obr", obr}};
    }
    d["tables"] = tables;
    d["stamp"] = FormatHex(rtc2k.Read(layout_.stampCell, kStampLength), false);
    if (layout_.block) {
        const Bytes stored = rtc2k.Read(layout_.block->start + layout_.block->length, 2);
        d["block_checksum_ok"] = ((stored[0] << 8) | stored[1]) == BlockSum(rtc2k);
    }
    return d;
}

} // namespace metersim
