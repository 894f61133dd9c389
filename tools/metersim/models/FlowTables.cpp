#include "FlowTables.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace metersim {

const CalibrationTable kStandardFactoryTable = {0.0f, 1.0f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};

namespace {

// The keys that mix the two halves of a block, each half taken least significant byte first.
constexpr std::uint32_t kLowKey = 0x5C3E91A7;
constexpr std::uint32_t kHighKey = 0x2B7D04F6;

// Where each nibble of the value travels once the keys are taken off: the byte, whether it is the
// byte's high nibble, and the first bit of the value it holds. The other nibble of every byte is filler.
struct NibblePlace {
    int byte;
    bool high;
    int bit;
};
constexpr NibblePlace kNibbles[8] = {{0, false, 24}, {1, true, 4},   {2, true, 20},  {3, false, 12},
                                     {4, true, 8},   {5, false, 16}, {6, false, 28}, {7, false, 0}};

} // namespace

float ScenarioFloat(const json& v, const std::string& where)
{
    if (!v.is_number()) throw ScenarioError(where + ": expected a number, got " + v.dump());
    const double d = v.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max())
        throw ScenarioError(where + ": " + v.dump() + " does not fit a 4-byte float");
    return static_cast<float>(d);
}

std::vector<float> ScenarioFloats(const json& v, std::size_t count, const std::string& where)
{
    if (!v.is_array() || v.size() != count)
        throw ScenarioError(where + ": expected a list of " + std::to_string(count) + " numbers");
    std::vector<float> out;
    for (std::size_t i = 0; i < count; ++i)
        out.push_back(ScenarioFloat(v[i], where + "[" + std::to_string(i) + "]"));
    return out;
}

void LoadCalibrationTables(const json& v, std::size_t channels, const std::string& where,
                           const std::function<void(int channel, bool k, const CalibrationTable& values)>& store)
{
    RequireObject(v, where);
    json rest = v;
    for (std::size_t c = 1; c <= channels; ++c) {
        const std::string key = std::to_string(c);
        auto channel = Take(rest, key);
        if (!channel) continue;
        const std::string at = where + "." + key;
        RequireObject(*channel, at);
        auto k = Take(*channel, "K");
        auto obr = Take(*channel, "Obr");
        RequireNoOtherKeys(*channel, at);
        CalibrationTable kValues{}, obrValues{};
        if (k) {
            const auto values = ScenarioFloats(*k, 10, at + ".K");
            std::copy(values.begin(), values.end(), kValues.begin());
        }
        if (obr) {
            const auto values = ScenarioFloats(*obr, 10, at + ".Obr");
            std::copy(values.begin(), values.end(), obrValues.begin());
        }
        if (k && obr && (kValues[0] != obrValues[0] || kValues[1] != obrValues[1]))
            throw ScenarioError(at +
                                ": K0 and Ku are one pair of cells; K and Obr must agree in their first two values");
        if (k) store(static_cast<int>(c), true, kValues);
        if (obr) store(static_cast<int>(c), false, obrValues);
    }
    if (!rest.empty())
        RequireNoOtherKeys(rest, where + (channels == 1 ? " (this meter has cells for \"1\" only)"
                                                        : " (this meter has cells for \"1\" and \"2\")"));
}

json DumpCalibrationTables(std::size_t channels, const std::function<float(int channel, bool k, int index)>& value)
{
    json tables = json::object();
    for (std::size_t c = 1; c <= channels; ++c) {
        json k = json::array(), obr = json::array();
        for (int i = 0; i < 10; ++i) {
            const float kv = value(static_cast<int>(c), true, i);
            const float ov = value(static_cast<int>(c), false, i);
            k.push_back(std::isfinite(kv) ? json(kv) : json(nullptr));
            obr.push_back(std::isfinite(ov) ? json(ov) : json(nullptr));
        }
        tables[std::to_string(c)] = {{"K", k}, {"Obr", obr}};
    }
    return tables;
}

std::uint32_t DescrambleBlock(const std::array<std::uint8_t, 8>& block)
{
    std::array<std::uint8_t, 8> b = block;
    auto unmask = [&b](int at, std::uint32_t key) {
        std::uint32_t w = 0;
        for (int i = 3; i >= 0; --i)
            w = (w << 8) | b[at + i];
        w ^= key;
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<std::uint8_t>(w >> (8 * i));
    };
    unmask(0, kLowKey);
    unmask(4, kHighKey);
    std::uint32_t value = 0;
    for (const auto& n : kNibbles) {
        const std::uint32_t nibble = n.high ? b[n.byte] >> 4 : b[n.byte] & 0x0F;
        value |= nibble << n.bit;
    }
    return value;
}

} // namespace metersim
