#include "Dln0808.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

namespace metersim {

namespace {

constexpr std::uint16_t kFlow = 0;
constexpr std::uint16_t kRaw = 107;
constexpr std::uint16_t kGmax = 299;
constexpr std::uint16_t kNumber = 315;
constexpr std::uint16_t kVersion = 318;
constexpr std::uint16_t kK0 = 370;
constexpr std::uint16_t kKu = 371;

// The first register of point p (1..8) of a table: the points run downwards.
std::uint16_t PointRegister(bool k, int p)
{
    return static_cast<std::uint16_t>((k ? 354 : 370) - 2 * p);
}

std::uint32_t BigEndian32(const Bytes& b)
{
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

Bytes Word32(std::uint32_t v)
{
    return Bytes{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                 static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

Bytes Single(float v)
{
    return Word32(std::bit_cast<std::uint32_t>(v));
}

Bytes K0Register(int v)
{
    const auto r = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
    return Bytes{static_cast<std::uint8_t>(r >> 8), static_cast<std::uint8_t>(r)};
}

CalibrationTable Factory()
{
    CalibrationTable t = kStandardFactoryTable;
    t[1] = std::bit_cast<float>(std::uint32_t{0x34200000});
    return t;
}

std::int32_t SignedInteger(const json& v, const std::string& where)
{
    if (!v.is_number_integer()) throw ScenarioError(where + ": expected a whole number, got " + v.dump());
    const auto i = v.get<std::int64_t>();
    if (i < INT32_MIN || i > INT32_MAX) throw ScenarioError(where + ": " + v.dump() + " does not fit 32 bits");
    return static_cast<std::int32_t>(i);
}

} // namespace

Dln0808::Dln0808() : MeterModBus("dln0808")
{
    PutTable(true, Factory());
    PutTable(false, Factory());
    Put(kFlow, Word32(0));
    Put(kRaw, Word32(0));
    Put(kGmax, Single(25.0f));
    Put(kNumber, Word32(8080044));
    Put(kVersion, Bytes{1, 2});
}

void Dln0808::Put(std::uint16_t reg, const Bytes& bytes)
{
    Area("holding")->Write(reg, bytes);
}

Bytes Dln0808::Registers(std::uint16_t reg, std::size_t count) const
{
    for (const auto& area : Areas())
        if (area.Name() == "holding") return area.Read(reg, 2 * count);
    throw std::logic_error("a ModBus meter without holding registers");
}

void Dln0808::PutTable(bool k, const CalibrationTable& values)
{
    Put(kK0, K0Register(static_cast<int>(values[0])));
    Put(kKu, Single(values[1]));
    for (int p = 1; p <= 8; ++p)
        Put(PointRegister(k, p), Single(values[1 + p]));
}

float Dln0808::Value(bool k, int index) const
{
    if (index == 0) {
        const Bytes r = Registers(kK0, 1);
        return static_cast<float>(static_cast<std::int16_t>((r[0] << 8) | r[1]));
    }
    const Bytes b = Registers(index == 1 ? kKu : PointRegister(k, index - 1), 2);
    return std::bit_cast<float>(BigEndian32(b));
}

void Dln0808::Load(json& entry, const std::string& where)
{
    json& texts = entry["texts"];
    if (texts.is_null()) texts = json::object();
    if (texts.is_object() && !texts.contains("id")) texts["id"] = "DLN-0808";

    if (auto number = Take(entry, "factory_number"))
        Put(kNumber, Word32(static_cast<std::uint32_t>(ToUnsigned(*number, UINT32_MAX, where + ".factory_number"))));
    if (auto version = Take(entry, "version")) {
        const std::string at = where + ".version";
        if (!version->is_array() || version->size() != 2) throw ScenarioError(at + ": expected [major, minor]");
        Put(kVersion, Bytes{static_cast<std::uint8_t>(ToUnsigned((*version)[0], 0xFF, at + "[0]")),
                            static_cast<std::uint8_t>(ToUnsigned((*version)[1], 0xFF, at + "[1]"))});
    }
    if (auto gmax = Take(entry, "gmax")) Put(kGmax, Single(ScenarioFloat(*gmax, where + ".gmax")));
    if (auto live = Take(entry, "live")) {
        const std::string at = where + ".live";
        RequireObject(*live, at);
        auto g = Take(*live, "G");
        auto sfr = Take(*live, "SFR");
        RequireNoOtherKeys(*live, at);
        if (g) Put(kFlow, Word32(static_cast<std::uint32_t>(SignedInteger(*g, at + ".G"))));
        if (sfr) Put(kRaw, Word32(static_cast<std::uint32_t>(SignedInteger(*sfr, at + ".SFR"))));
    }
    if (auto tables = Take(entry, "tables"))
        LoadCalibrationTables(
            *tables, 1, where + ".tables", [this, &where](int, bool k, const CalibrationTable& values) {
                if (values[0] != std::trunc(values[0]) || values[0] < -128 || values[0] > 127)
                    throw ScenarioError(where + ".tables: I keep K0 as a whole number -128..127, not " +
                                        std::to_string(values[0]));
                PutTable(k, values);
            });
    MeterModBus::Load(entry, where);
}

std::optional<StandCalibration> Dln0808::StandState(int channel) const
{
    if (channel != 1) return std::nullopt;
    StandCalibration c;
    c.gmax = std::bit_cast<float>(BigEndian32(Registers(kGmax, 2)));
    for (int i = 0; i < 10; ++i) {
        c.k[i] = Value(true, i);
        c.obr[i] = Value(false, i);
    }
    c.form = LiveForm::Flow;
    return c;
}

void Dln0808::PutLiveFlow(int, double value)
{
    const double whole = std::clamp(std::round(value), -2147483648.0, 2147483647.0);
    Put(kFlow, Word32(static_cast<std::uint32_t>(static_cast<std::int32_t>(whole))));
}

json Dln0808::Dump() const
{
    json d = MeterModBus::Dump();
    d["tables"] = DumpCalibrationTables(1, [this](int, bool k, int index) { return Value(k, index); });
    d["gmax"] = std::bit_cast<float>(BigEndian32(Registers(kGmax, 2)));
    return d;
}

} // namespace metersim
