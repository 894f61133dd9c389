#include "Ultrasonic.h"

#include <bit>
#include <stdexcept>

namespace metersim {

namespace {

constexpr std::uint16_t kNumberCell = 0x0000;
constexpr std::uint16_t kGmaxCell = 0x0023;
constexpr std::uint16_t kRawBlock = 0x03A0;
constexpr std::size_t kRawBlockLength = 36;
constexpr std::uint16_t kErrorFlags = 0x03F0;
constexpr std::uint16_t kDataBuffer = 0x0800;
constexpr std::size_t kStampLength = 16;
constexpr std::size_t kScrambledLength = 9; // 8 block bytes and one I ignore

bool IsWrite(const prelay::Request& r)
{
    return (r.group == 0x0F && r.command == 0x81) || (r.group == 0x0A && r.command == 0x42);
}

} // namespace

UltrasonicMeter::UltrasonicMeter(std::string model, UltrasonicLayout layout)
    : MeterRelay(std::move(model)), layout_(std::move(layout))
{
    ResetCalibrationTable();
    Put("rtc2k", kGmaxCell, Single(layout_.gmax));
    Put("ram", layout_.liveG, Single(0.0f));
    Put("ram", kRawBlock, Bytes(kRawBlockLength, 0x00));
    Put("ram", kErrorFlags, Bytes{0x00});
    Put("ram", kDataBuffer, Bytes(layout_.dataBufferLength, 0x00));
}

void UltrasonicMeter::Put(const char* area, std::uint64_t addr, const Bytes& bytes)
{
    Area(area)->Write(addr, bytes);
}

Bytes UltrasonicMeter::Word(std::uint32_t value)
{
    return Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Bytes UltrasonicMeter::Single(float value)
{
    return Word(std::bit_cast<std::uint32_t>(value));
}

const MemoryArea& UltrasonicMeter::NamedArea(const char* name) const
{
    for (const auto& area : Areas())
        if (area.Name() == name) return area;
    throw std::logic_error(std::string("a relay meter without ") + name);
}

float UltrasonicMeter::SingleAt(const char* area, std::uint64_t addr) const
{
    const Bytes b = NamedArea(area).Read(addr, 4);
    return std::bit_cast<float>(std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
                                (std::uint32_t{b[3]} << 24));
}

Bytes UltrasonicMeter::TakeHex(json& entry, const char* key, std::size_t max, const std::string& where, bool& given)
{
    given = false;
    auto v = Take(entry, key);
    if (!v) return {};
    const std::string at = where + "." + key;
    if (!v->is_object()) throw ScenarioError(at + ": expected {\"hex\": ...}");
    json obj = *v;
    auto hex = Take(obj, "hex");
    if (!hex) throw ScenarioError(at + ": expected {\"hex\": ...}");
    RequireNoOtherKeys(obj, at);
    Bytes bytes = ToHexBytes(*hex, at + ".hex");
    if (bytes.size() > max) throw ScenarioError(at + ": at most " + std::to_string(max) + " bytes");
    given = true;
    return bytes;
}

std::uint16_t UltrasonicMeter::Cell(int channel, bool k, int index) const
{
    if (index == 0) return layout_.k0;
    if (index == 1) return layout_.ku;
    const auto& points = layout_.channels.at(channel - 1);
    return static_cast<std::uint16_t>((k ? points.k : points.obr) + 4 * (index - 2));
}

void UltrasonicMeter::StoreTable(int channel, bool k, const CalibrationTable& values)
{
    for (int i = 0; i < 10; ++i)
        Put("rtc2k", Cell(channel, k, i), Single(values[i]));
}

std::optional<StandCalibration> UltrasonicMeter::StandState(int channel) const
{
    if (channel < 1 || static_cast<std::size_t>(channel) > layout_.channels.size()) return std::nullopt;
    StandCalibration c;
    c.gmax = SingleAt("rtc2k", kGmaxCell);
    for (int i = 0; i < 10; ++i) {
        c.k[i] = SingleAt("rtc2k", Cell(channel, true, i));
        c.obr[i] = SingleAt("rtc2k", Cell(channel, false, i));
    }
    c.form = layout_.liveForm;
    return c;
}

void UltrasonicMeter::PutLiveFlow(int, double value)
{
    Put("ram", layout_.liveG, Single(static_cast<float>(value)));
}

void UltrasonicMeter::ResetCalibrationTable()
{
    for (std::size_t c = 1; c <= layout_.channels.size(); ++c) {
        StoreTable(static_cast<int>(c), true, kStandardFactoryTable);
        StoreTable(static_cast<int>(c), false, kStandardFactoryTable);
    }
}

bool UltrasonicMeter::IsCoefficientCell(std::uint32_t addr) const
{
    if (addr == layout_.k0 || addr == layout_.ku) return true;
    for (const auto& points : layout_.channels)
        for (std::uint32_t first : {points.k, points.obr})
            if (addr >= first && addr < first + 32 && (addr - first) % 4 == 0) return true;
    return false;
}

void UltrasonicMeter::Load(json& entry, const std::string& where)
{
    // My type's own texts unless the scenario gives them (a malformed "texts" is left to MeterRelay).
    json& texts = entry["texts"];
    if (texts.is_null()) texts = json::object();
    if (texts.is_object())
        for (auto it = layout_.texts.begin(); it != layout_.texts.end(); ++it)
            if (!texts.contains(it.key())) texts[it.key()] = it.value();

    if (auto number = Take(entry, "factory_number"))
        Put("rtc2k", kNumberCell,
            Word(static_cast<std::uint32_t>(ToUnsigned(*number, UINT32_MAX, where + ".factory_number"))));
    else if (entry.contains("serial")) // a missing or bad serial number is MeterRelay's to report
        Put("rtc2k", kNumberCell,
            Word(static_cast<std::uint32_t>(ToUnsigned(entry["serial"], UINT32_MAX, where + ".serial"))));

    if (auto gmax = Take(entry, "gmax")) Put("rtc2k", kGmaxCell, Single(ScenarioFloat(*gmax, where + ".gmax")));

    bool given = false;
    const Bytes raw = TakeHex(entry, "raw_block", kRawBlockLength, where, given);
    if (given) Put("ram", kRawBlock, raw);
    if (auto live = Take(entry, "live")) {
        const std::string at = where + ".live";
        RequireObject(*live, at);
        auto g = Take(*live, "G");
        auto sfr = Take(*live, "SFR");
        RequireNoOtherKeys(*live, at);
        if (g) Put("ram", layout_.liveG, Single(ScenarioFloat(*g, at + ".G")));
        if (sfr) Put("ram", kRawBlock, Single(ScenarioFloat(*sfr, at + ".SFR")));
    }
    LoadOwnKeys(entry, where);
    if (auto flags = Take(entry, "error_flags"))
        Put("ram", kErrorFlags, Bytes{static_cast<std::uint8_t>(ToUnsigned(*flags, 0xFF, where + ".error_flags"))});
    const Bytes buffer = TakeHex(entry, "data_buffer", 0x10000 - kDataBuffer, where, given);
    if (given) Put("ram", kDataBuffer, buffer);
    if (auto tables = Take(entry, "tables"))
        LoadCalibrationTables(
            *tables, layout_.channels.size(), where + ".tables",
            [this](int channel, bool k, const CalibrationTable& values) { StoreTable(channel, k, values); });
    MeterRelay::Load(entry, where);
}

void UltrasonicMeter::LoadOwnKeys(json&, const std::string&) {}

Answer UltrasonicMeter::Handle(const prelay::Request& r)
{
    if (IsWrite(r) && r.data.size() == 2 + kScrambledLength) {
        const std::uint16_t cell = static_cast<std::uint16_t>((r.data[0] << 8) | r.data[1]);
        if (IsCoefficientCell(cell)) {
            std::array<std::uint8_t, 8> block{};
            std::copy(r.data.begin() + 2, r.data.begin() + 10, block.begin());
            const Answer stored = WriteArea("rtc2k", cell, Word(DescrambleBlock(block)), false);
            if (!stored.reply) return stored;
            // As for a plain write: the reply carries what I now hold where the request wrote.
            return ReadArea("rtc2k", cell, kScrambledLength, prelay::kMaxData);
        }
    }
    return MeterRelay::Handle(r);
}

json UltrasonicMeter::Dump() const
{
    json d = MeterRelay::Dump();
    d["tables"] = DumpCalibrationTables(layout_.channels.size(), [this](int channel, bool k, int index) {
        return SingleAt("rtc2k", Cell(channel, k, index));
    });
    d["stamp"] = FormatHex(NamedArea("rtc2k").Read(layout_.stampCell, kStampLength), false);
    d["gmax"] = SingleAt("rtc2k", kGmaxCell);
    return d;
}

} // namespace metersim
