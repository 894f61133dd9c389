#include "MeterM4.h"

namespace metersim {

namespace {

constexpr std::size_t kData = 8;

std::string Letter(std::uint8_t letter)
{
    const Bytes b{letter};
    if (letter >= 0x20 && letter < 0x7F)
        return "\"" + std::string(1, static_cast<char>(letter)) + "\" (" + FormatHex(b, false) + ")";
    return FormatHex(b, false);
}

} // namespace

MeterM4::MeterM4(std::string model) : Meter("m4", std::move(model), 255)
{
    AddArea("ram_int", 0x10000, 0xFF);
    AddArea("ram_ext", 0x10000, 0xFF);
    AddArea("mem", 0x10000, 0xFF);
    SetFaultMenu(
        {"m4",
         {"silent", "delay_ms", "noise", "bad_checksum", "drop_last_byte", "drop_byte", "unplug", "wrong_code"},
         {{"bad_complement", "an M4 frame carries no address complement to break"},
          {"exception", "M4 replies have no exceptions (wrong_code gives a reply with the wrong code)"}}});
}

void MeterM4::Load(json& entry, const std::string& where)
{
    if (auto table = Take(entry, "parameters")) {
        const std::string at = where + ".parameters";
        if (!table->is_array()) throw ScenarioError(at + ": expected a list of {\"p1\", \"p2\", \"hex\"}");
        for (std::size_t i = 0; i < table->size(); ++i) {
            const std::string row = at + "[" + std::to_string(i) + "]";
            RequireObject((*table)[i], row);
            json rest = (*table)[i];
            auto p1 = Take(rest, "p1");
            auto p2 = Take(rest, "p2");
            auto hex = Take(rest, "hex");
            if (!p1 || !p2 || !hex) throw ScenarioError(row + ": give \"p1\", \"p2\" and \"hex\"");
            RequireNoOtherKeys(rest, row);
            const auto key = std::make_pair(static_cast<std::uint8_t>(ToUnsigned(*p1, 255, row + ".p1")),
                                            static_cast<std::uint8_t>(ToUnsigned(*p2, 255, row + ".p2")));
            Bytes bytes = ToHexBytes(*hex, row + ".hex");
            if (bytes.size() != kData) throw ScenarioError(row + ".hex: expected 8 bytes");
            if (!parameters_.emplace(key, std::move(bytes)).second)
                throw ScenarioError(row + ": the pair " + std::to_string(key.first) + ", " +
                                    std::to_string(key.second) + " is already in the table");
        }
        parameterSource_ = *table;
    }
    Meter::Load(entry, where);
}

json MeterM4::Dump() const
{
    json d = Meter::Dump();
    d["parameters"] = parameterSource_;
    d["settings"] = settings_;
    return d;
}

Answer MeterM4::Handle(const pm4::Request& r)
{
    switch (r.letter) {
    case 'M': return ReadArea("ram_int", r.Address16(), kData, kData);
    case 'G': return ReadArea("ram_ext", r.Address16(), kData, kData);
    case 'R': return ReadArea("mem", r.Address16(), kData, kData);
    case 'W': return WriteArea("mem", r.Address16(), r.data, true);
    case 'P': {
        auto it = parameters_.find({r.p1, r.p2});
        return Answer::With(it != parameters_.end() ? it->second : Bytes(kData, 0x00));
    }
    case 'S':
        settings_.push_back({{"p1", r.p1}, {"p2", r.p2}, {"data", FormatHex(r.data, false)}});
        return Answer::With(r.data);
    default: return Answer::Silent("unknown operation " + Letter(r.letter));
    }
}

} // namespace metersim
