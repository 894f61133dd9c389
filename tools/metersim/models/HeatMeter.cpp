#include "HeatMeter.h"

#include "../Cp1251.h"

#include <array>
#include <bit>
#include <cmath>
#include <limits>

namespace metersim {

namespace {

constexpr std::size_t kScrambledLength = 9; // 8 block bytes and one the meter ignores
constexpr std::size_t kStampLength = 16;

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
        StoreTable(cells, kStandardFactoryTable, true);
        StoreTable(cells, kStandardFactoryTable, false);
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
        Put(area, cells[0], Single(ScenarioFloat(v, where)));
        return;
    }
    const auto values = ScenarioFloats(v, cells.size(), where);
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
        const auto values = ScenarioFloats(*g, 2, where + ".G");
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
    LoadCalibrationTables(v, layout_.channels.size(), where,
                          [this](int channel, bool k, const CalibrationTable& values) {
                              StoreTable(layout_.channels[channel - 1], values, k);
                          });
}

void HeatMeter6x::StoreTable(const HeatMeterLayout::Cells& cells, const CalibrationTable& values, bool k)
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
            return Write("rtc2k", cell, Word(DescrambleBlock(block)), false);
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
    d["tables"] = DumpCalibrationTables(layout_.channels.size(), [&](int channel, bool k, int index) {
        const auto& cells = layout_.channels[channel - 1];
        if (index < 2) return CellValue(rtc2k, index == 0 ? cells.k0 : cells.ku);
        return CellValue(rtc2k, static_cast<std::uint16_t>((k ? cells.kPoints : cells.obrPoints) + 4 * (index - 2)));
    });
    d["stamp"] = FormatHex(rtc2k.Read(layout_.stampCell, kStampLength), false);
    if (layout_.block) {
        const Bytes stored = rtc2k.Read(layout_.block->start + layout_.block->length, 2);
        d["block_checksum_ok"] = ((stored[0] << 8) | stored[1]) == BlockSum(rtc2k);
    }
    return d;
}

} // namespace metersim
