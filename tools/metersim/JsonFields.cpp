#include "JsonFields.h"

namespace metersim {

std::optional<json> Take(json& obj, const std::string& key)
{
    auto it = obj.find(key);
    if (it == obj.end()) return std::nullopt;
    json value = std::move(*it);
    obj.erase(it);
    return value;
}

void RequireNoOtherKeys(const json& obj, const std::string& where)
{
    if (obj.empty()) return;
    std::string keys;
    for (auto it = obj.begin(); it != obj.end(); ++it)
        keys += (keys.empty() ? "" : ", ") + it.key();
    throw ScenarioError(where + ": unknown key(s) " + keys);
}

void RequireObject(const json& v, const std::string& where)
{
    if (!v.is_object()) throw ScenarioError(where + ": expected an object");
}

std::uint64_t ToUnsigned(const json& v, std::uint64_t max, const std::string& where)
{
    try {
        if (v.is_number_integer()) {
            if (v.get<std::int64_t>() < 0 && !v.is_number_unsigned())
                throw std::invalid_argument(v.dump() + " is negative");
            auto value = v.get<std::uint64_t>();
            if (value > max) throw std::invalid_argument(std::to_string(value) + " is above " + std::to_string(max));
            return value;
        }
        if (v.is_string()) return ParseUnsigned(v.get<std::string>(), max);
    } catch (const std::invalid_argument& e) {
        throw ScenarioError(where + ": " + e.what());
    }
    throw ScenarioError(where + ": expected an unsigned number (or a string such as \"0x0700\"), got " + v.dump());
}

Bytes ToHexBytes(const json& v, const std::string& where)
{
    if (!v.is_string()) throw ScenarioError(where + ": expected a string of hex bytes, got " + v.dump());
    try {
        return ParseHex(v.get<std::string>());
    } catch (const std::invalid_argument& e) {
        throw ScenarioError(where + ": " + e.what());
    }
}

} // namespace metersim
