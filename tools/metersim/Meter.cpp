#include "Meter.h"

#include <bit>
#include <cmath>
#include <limits>

namespace metersim {

namespace {

// The bytes of one or more IEEE singles ("f32be": 1.5 or "f32be": [1.0, 2.0]).
Bytes FloatBytes(const json& v, bool bigEndian, const std::string& where)
{
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

// The faults of a 6x meter.
FaultMenu SixXMenu()
{
    return {"6x",
            {"silent", "delay_ms", "noise", "bad_checksum", "bad_complement", "drop_last_byte", "drop_byte", "unplug"},
            {}};
}

} // namespace

Meter::Meter(std::string protocol, std::string model, std::uint32_t maxAddress, std::string addressKey)
    : protocol_(std::move(protocol)), model_(std::move(model)), maxAddress_(maxAddress),
      addressKey_(std::move(addressKey)), faultMenu_(SixXMenu())
{
}

void Meter::AddArea(std::string name, std::uint64_t size, std::uint8_t fill, unsigned unit)
{
    areas_.emplace_back(std::move(name), size, fill, unit);
}

MemoryArea* Meter::Area(const std::string& name)
{
    for (auto& area : areas_)
        if (area.Name() == name) return &area;
    return nullptr;
}

void Meter::Load(json& entry, const std::string& where)
{
    auto address = Take(entry, addressKey_);
    if (!address) throw ScenarioError(where + ": missing \"" + addressKey_ + "\"");
    address_ = static_cast<std::uint32_t>(ToUnsigned(*address, maxAddress_, where + "." + addressKey_));
    if (auto memory = Take(entry, "memory")) {
        if (!memory->is_array()) throw ScenarioError(where + ".memory: expected a list of patches");
        for (std::size_t i = 0; i < memory->size(); ++i)
            LoadMemoryPatch((*memory)[i], where + ".memory[" + std::to_string(i) + "]");
    }
    if (auto readOnly = Take(entry, "readonly")) {
        if (!readOnly->is_array()) throw ScenarioError(where + ".readonly: expected a list of ranges");
        for (std::size_t i = 0; i < readOnly->size(); ++i)
            LoadReadOnly((*readOnly)[i], where + ".readonly[" + std::to_string(i) + "]");
    }
    if (auto faults = Take(entry, "faults")) faults_ = FaultSet::Parse(*faults, where + ".faults", faultMenu_);
    if (auto baud = Take(entry, "baud")) {
        baud_ = static_cast<unsigned>(ToUnsigned(*baud, 115200, where + ".baud"));
        if (baud_ != 9600 && baud_ != 19200) throw ScenarioError(where + ".baud: 9600 or 19200");
    }
}

MemoryArea& Meter::NamedArea(const json& patch, json& rest, const std::string& where)
{
    RequireObject(patch, where);
    rest = patch;
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
    return *area;
}

void Meter::LoadMemoryPatch(const json& patch, const std::string& where)
{
    json rest;
    MemoryArea& area = NamedArea(patch, rest, where);
    auto addr = Take(rest, "addr");
    if (!addr) throw ScenarioError(where + ": missing \"addr\"");
    const std::uint64_t start = ToUnsigned(*addr, area.Size() - 1, where + ".addr");

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
    if (bytes.size() % area.Unit() != 0)
        throw ScenarioError(where + ": " + std::to_string(bytes.size()) + " bytes are not whole " +
                            std::to_string(area.Unit()) + "-byte units of " + area.Name());
    if (!area.Contains(start, bytes.size()))
        throw ScenarioError(where + ": " + std::to_string(bytes.size()) + " bytes at " + std::to_string(start) +
                            " run past the end of " + area.Name());
    area.Write(start, bytes);
}

void Meter::LoadReadOnly(const json& range, const std::string& where)
{
    json rest;
    MemoryArea& area = NamedArea(range, rest, where);
    auto addr = Take(rest, "addr");
    auto count = Take(rest, "count");
    if (!addr || !count) throw ScenarioError(where + ": give \"addr\" and \"count\" (bytes)");
    RequireNoOtherKeys(rest, where);
    const std::uint64_t start = ToUnsigned(*addr, area.Size() - 1, where + ".addr");
    const std::uint64_t bytes = ToUnsigned(*count, UINT32_MAX, where + ".count");
    if (bytes == 0 || bytes % area.Unit() != 0)
        throw ScenarioError(where + ".count: must be a positive number of whole " + std::to_string(area.Unit()) +
                            "-byte units");
    if (!area.Contains(start, bytes))
        throw ScenarioError(where + ": " + std::to_string(bytes) + " bytes at " + std::to_string(start) +
                            " run past the end of " + area.Name());
    area.Protect(start, bytes);
}

Answer Meter::ReadArea(const std::string& areaName, std::uint64_t addr, std::size_t count, std::size_t maxCount)
{
    MemoryArea* area = Area(areaName);
    if (count > maxCount) return Answer::Silent("read of " + std::to_string(count) + " bytes does not fit a frame");
    if (!area->Contains(addr, count))
        return Answer::Silent("read of " + std::to_string(count) + " bytes at " + std::to_string(addr) +
                              " past the end of " + areaName);
    return Answer::With(area->Read(addr, count));
}

Answer Meter::WriteArea(const std::string& areaName, std::uint64_t addr, const Bytes& data, bool echo)
{
    MemoryArea* area = Area(areaName);
    if (!area->Contains(addr, data.size()))
        return Answer::Silent("write of " + std::to_string(data.size()) + " bytes at " + std::to_string(addr) +
                              " past the end of " + areaName);
    area->Store(addr, data);
    return Answer::With(echo ? area->Read(addr, data.size()) : Bytes{});
}

json Meter::Dump() const
{
    json areas = json::object();
    for (const auto& area : areas_) {
        json runs = json::array();
        for (const auto& [addr, bytes] : area.SetRuns())
            runs.push_back({{"addr", addr}, {"hex", FormatHex(bytes, false)}});
        const Bytes fill{area.Fill()};
        json a = {{"size", area.Size()}, {"fill", FormatHex(fill, false)}, {"runs", runs}};
        if (area.Unit() != 1) a["unit"] = area.Unit();
        if (auto ro = area.ProtectedRuns(); !ro.empty()) {
            json list = json::array();
            for (const auto& [addr, count] : ro)
                list.push_back({{"addr", addr}, {"count", count}});
            a["readonly"] = list;
        }
        areas[area.Name()] = a;
    }
    return {{addressKey_, address_}, {"protocol", protocol_},      {"model", model_}, {"requests", requests_},
            {"replies", replies_},   {"faults", faults_.Source()}, {"areas", areas}};
}

} // namespace metersim
