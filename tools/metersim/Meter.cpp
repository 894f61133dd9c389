#include "Meter.h"

#include <bit>
#include <cmath>
#include <limits>

namespace metersim {

namespace {

// The bytes of one or more IEEE singles ("f32be": 1.5 or "f32be": [1.0, 2.0]).
Bytes FloatBytes(const json& v, bool bigEndian, const std::string& where) {
    json values = v.is_array() ? v : json::array({v});
    Bytes out;
    for (const auto& value : values) {
        if (!value.is_number()) throw ScenarioError(where + ": expected a number or a list of numbers");
        const double d = value.get<double>();
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
            throw ScenarioError(where + ": " + value.dump() + " does not fit a 4-byte float");
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(d));
        for (int i = 0; i < 4; ++i) {
            const int shift = bigEndian ? 24 - 8 * i : 8 * i;
            out.push_back(static_cast<std::uint8_t>(bits >> shift));
        }
    }
    return out;
}

} // namespace

Meter::Meter(std::string protocol, std::string model, std::uint32_t maxAddress)
    : protocol_(std::move(protocol)), model_(std::move(model)), maxAddress_(maxAddress) {}

void Meter::AddArea(std::string name, std::uint64_t size, std::uint8_t fill) {
    areas_.emplace_back(std::move(name), size, fill);
}

MemoryArea* Meter::Area(const std::string& name) {
    for (auto& area : areas_)
        if (area.Name() == name) return &area;
    return nullptr;
}

void Meter::Load(json& entry, const std::string& where) {
    auto address = Take(entry, "address");
    if (!address) throw ScenarioError(where + ": missing \"address\"");
    address_ = static_cast<std::uint32_t>(ToUnsigned(*address, maxAddress_, where + ".address"));
    if (auto memory = Take(entry, "memory")) {
        if (!memory->is_array()) throw ScenarioError(where + ".memory: expected a list of patches");
        for (std::size_t i = 0; i < memory->size(); ++i)
            LoadMemoryPatch((*memory)[i], where + ".memory[" + std::to_string(i) + "]");
    }
    if (auto faults = Take(entry, "faults")) faults_ = FaultSet::Parse(*faults, where + ".faults");
}

void Meter::LoadMemoryPatch(const json& patch, const std::string& where) {
    RequireObject(patch, where);
    json rest = patch;
    auto areaName = Take(rest, "area");
    if (!areaName || !areaName->is_string()) throw ScenarioError(where + ": missing \"area\" (a name)");
    MemoryArea* area = Area(areaName->get<std::string>());
    if (!area) {
        std::string names;
        for (const auto& a : areas_)
            names += (names.empty() ? "" : ", ") + a.Name();
        throw ScenarioError(where + ": no area \"" + areaName->get<std::string>() + "\" in a " + protocol_ +
                            " meter (areas: " + names + ")");
    }
    auto addr = Take(rest, "addr");
    if (!addr) throw ScenarioError(where + ": missing \"addr\"");
    const std::uint64_t start = ToUnsigned(*addr, area->Size() - 1, where + ".addr");

    Bytes bytes;
    int forms = 0;
    if (auto hex = Take(rest, "hex")) {
        bytes = ToHexBytes(*hex, where + ".hex");
        ++forms;
    }
    if (auto f = Take(rest, "f32be")) {
        bytes = FloatBytes(*f, true, where + ".f32be");
        ++forms;
    }
    if (auto f = Take(rest, "f32le")) {
        bytes = FloatBytes(*f, false, where + ".f32le");
        ++forms;
    }
    if (forms != 1) throw ScenarioError(where + ": give exactly one of \"hex\", \"f32be\", \"f32le\"");
    RequireNoOtherKeys(rest, where);
    if (!area->Contains(start, bytes.size()))
        throw ScenarioError(where + ": " + std::to_string(bytes.size()) + " bytes at " +
                            std::to_string(start) + " run past the end of " + area->Name());
    area->Write(start, bytes);
}

json Meter::Dump() const {
    json areas = json::object();
    for (const auto& area : areas_) {
        json runs = json::array();
        for (const auto& [addr, bytes] : area.SetRuns())
            runs.push_back({{"addr", addr}, {"hex", FormatHex(bytes, false)}});
        const Bytes fill{area.Fill()};
        areas[area.Name()] = {{"size", area.Size()}, {"fill", FormatHex(fill, false)}, {"runs", runs}};
    }
    return {{"address", address_}, {"protocol", protocol_},      {"model", model_}, {"requests", requests_},
            {"replies", replies_}, {"faults", faults_.Source()}, {"areas", areas}};
}

} // namespace metersim
