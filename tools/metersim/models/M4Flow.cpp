#include "M4Flow.h"

#include "../Cp1251.h"

#include <cmath>
#include <stdexcept>

namespace metersim {

namespace {

constexpr std::size_t kBlock = 8;

} // namespace

std::array<std::uint8_t, 4> EncodeM4(float value)
{
    std::uint8_t sign = 0;
    double x = value;
    if (x < 0) {
        sign = 0x80;
        x = -x;
    }
    int exponent = 0;
    long mantissa = 0;
    if (x != 0) {
        const double fraction = std::frexp(x, &exponent); // x = fraction * 2^exponent, 0.5 <= fraction < 1
        mantissa = std::lround(std::nearbyint(fraction * 65536.0));
        if (mantissa == 65536) { // rounded up to the next power of two
            mantissa = 32768;
            ++exponent;
        }
    }
    std::array<std::uint8_t, 4> b{};
    b[0] = static_cast<std::uint8_t>(((exponent + 64) & 0x7F) | sign);
    b[1] = static_cast<std::uint8_t>(mantissa >> 8);
    b[2] = static_cast<std::uint8_t>(mantissa);
    b[3] = static_cast<std::uint8_t>(b[0] + b[1] + b[2]);
    return b;
}

float DecodeM4(const std::uint8_t* b)
{
    const int exponent = (b[0] & 0x7F) - 64;
    const double mantissa = (b[1] << 8) | b[2];
    const double x = std::ldexp(mantissa / 65536.0, exponent);
    return static_cast<float>((b[0] & 0x80) ? -x : x);
}

M4FlowMeter::M4FlowMeter(std::string model, M4FlowLayout layout) : MeterM4(std::move(model)), layout_(std::move(layout))
{
    // As I leave the factory; where every parameter has a block of its own, bytes 4..7 hold zeros.
    if (layout_.addressing == M4FlowLayout::Addressing::ByBlock)
        for (const auto& c : layout_.channels) {
            for (std::uint16_t a : {c.k0, c.ku, c.gmax})
                Area("mem")->Write(ByteOffset(a), Bytes(kBlock, 0));
            for (int p = 0; p < 8; ++p)
                for (std::uint16_t a : {c.k[p], c.obr[p]})
                    Area("mem")->Write(ByteOffset(a), Bytes(kBlock, 0));
        }
    for (std::size_t c = 1; c <= layout_.channels.size(); ++c) {
        ResetK(static_cast<int>(c));
        ResetObr(static_cast<int>(c));
        SetValue(layout_.channels[c - 1].gmax, layout_.gmax.at(c - 1));
    }
    Area("mem")->Write(ByteOffset(0), Bytes(layout_.factoryNumber.begin(), layout_.factoryNumber.end()));
}

std::uint32_t M4FlowMeter::ByteOffset(std::uint16_t address) const
{
    return layout_.addressing == M4FlowLayout::Addressing::ByBlock ? address * static_cast<std::uint32_t>(kBlock)
                                                                   : address;
}

const MemoryArea& M4FlowMeter::Mem() const
{
    for (const auto& area : Areas())
        if (area.Name() == "mem") return area;
    throw std::logic_error("an M4 meter without mem");
}

float M4FlowMeter::Value(std::uint16_t address) const
{
    return DecodeM4(Mem().Read(ByteOffset(address), 4).data());
}

void M4FlowMeter::SetValue(std::uint16_t address, float value)
{
    const auto b = EncodeM4(value);
    Area("mem")->Write(ByteOffset(address), Bytes(b.begin(), b.end()));
}

void M4FlowMeter::PutRam(const char* area, std::uint16_t addr, float value)
{
    const auto b = EncodeM4(value);
    Area(area)->Write(addr, Bytes(b.begin(), b.end()));
}

std::optional<StandCalibration> M4FlowMeter::StandState(int channel) const
{
    if (channel < 1 || static_cast<std::size_t>(channel) > layout_.channels.size()) return std::nullopt;
    StandCalibration c;
    c.gmax = Value(layout_.channels[channel - 1].gmax);
    for (int i = 0; i < 10; ++i) {
        c.k[i] = Value(Cell(channel, true, i));
        c.obr[i] = Value(Cell(channel, false, i));
    }
    c.form = LiveForm::Flow;
    return c;
}

std::uint16_t M4FlowMeter::Cell(int channel, bool k, int index) const
{
    const auto& c = layout_.channels.at(channel - 1);
    if (index == 0) return c.k0;
    if (index == 1) return c.ku;
    return (k ? c.k : c.obr)[index - 2];
}

void M4FlowMeter::ResetK(int channel)
{
    for (int i = 0; i < 10; ++i)
        SetValue(Cell(channel, true, i), layout_.factory[i]);
}

void M4FlowMeter::ResetObr(int channel)
{
    for (int i = 2; i < 10; ++i)
        SetValue(Cell(channel, false, i), layout_.factory[i]);
}

void M4FlowMeter::LoadOwnKeys(json&, const std::string&) {}

void M4FlowMeter::Load(json& entry, const std::string& where)
{
    if (auto number = Take(entry, "factory_number")) {
        const std::string at = where + ".factory_number";
        Bytes text;
        if (number->is_string()) {
            try {
                text = Utf8ToCp1251(number->get<std::string>());
            } catch (const std::invalid_argument& e) {
                throw ScenarioError(at + ": " + e.what());
            }
        } else if (number->is_object()) {
            json obj = *number;
            auto hex = Take(obj, "hex");
            if (!hex) throw ScenarioError(at + ": expected a text or {\"hex\": ...}");
            RequireNoOtherKeys(obj, at);
            text = ToHexBytes(*hex, at + ".hex");
        } else {
            throw ScenarioError(at + ": expected a text of 8 characters or {\"hex\": ...} of 8 bytes");
        }
        if (text.size() != kBlock)
            throw ScenarioError(at + ": I keep exactly 8 characters, got " + std::to_string(text.size()));
        Area("mem")->Write(ByteOffset(0), text);
    }
    if (auto gmax = Take(entry, "gmax")) {
        const std::string at = where + ".gmax";
        if (layout_.channels.size() == 1) {
            SetValue(layout_.channels[0].gmax, ScenarioFloat(*gmax, at));
        } else {
            const auto values = ScenarioFloats(*gmax, layout_.channels.size(), at);
            for (std::size_t c = 0; c < values.size(); ++c)
                SetValue(layout_.channels[c].gmax, values[c]);
        }
    }
    if (auto tables = Take(entry, "tables"))
        LoadCalibrationTables(*tables, layout_.channels.size(), where + ".tables",
                              [this](int channel, bool k, const CalibrationTable& values) {
                                  for (int i = 0; i < 10; ++i)
                                      SetValue(Cell(channel, k, i), values[i]);
                              });
    if (layout_.locked) {
        if (auto enabled = Take(entry, "writes_enabled")) {
            if (!enabled->is_boolean()) throw ScenarioError(where + ".writes_enabled: expected true or false");
            unlocked_ = enabled->get<bool>();
        }
    }
    LoadOwnKeys(entry, where);
    MeterM4::Load(entry, where);
}

Answer M4FlowMeter::Handle(const pm4::Request& r)
{
    if (r.letter == 'S' && layout_.locked && r.p1 == 5 && r.p2 == 0) unlocked_ = true;
    if (r.letter == 'W' && layout_.locked && !unlocked_)
        return ReadArea("mem", ByteOffset(r.Address16()), kBlock, kBlock);
    if (layout_.addressing == M4FlowLayout::Addressing::ByBlock) {
        if (r.letter == 'R') return ReadArea("mem", ByteOffset(r.Address16()), kBlock, kBlock);
        if (r.letter == 'W') return WriteArea("mem", ByteOffset(r.Address16()), r.data, true);
    }
    return MeterM4::Handle(r);
}

json M4FlowMeter::Dump() const
{
    json d = MeterM4::Dump();
    d["tables"] = DumpCalibrationTables(
        layout_.channels.size(), [this](int channel, bool k, int index) { return Value(Cell(channel, k, index)); });
    json gmax = json::array();
    for (const auto& c : layout_.channels)
        gmax.push_back(Value(c.gmax));
    d["gmax"] = gmax;
    if (layout_.locked) d["writes_enabled"] = unlocked_;
    return d;
}

} // namespace metersim
