// Reading scenario objects strictly: every key is taken once, and keys left over are reported, so
// that a misspelt fault or field fails the start instead of being silently ignored.
#pragma once

#include "Bytes.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace metersim {

// Keeps keys in their written order, so that dumps and messages read like the scenario.
using json = nlohmann::ordered_json;

// A fault in the scenario; the message says where ("meters[1].faults.noise: ...").
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Removes key from the object obj and returns its value (empty when absent).
std::optional<json> Take(json& obj, const std::string& key);

// Throws when obj still holds keys, naming them.
void RequireNoOtherKeys(const json& obj, const std::string& where);

// Throws unless v is an object.
void RequireObject(const json& v, const std::string& where);

// An unsigned integer given as a JSON number or as a string ("1792", "0x0700"), at most max.
std::uint64_t ToUnsigned(const json& v, std::uint64_t max, const std::string& where);

// Hexadecimal bytes given as a JSON string.
Bytes ToHexBytes(const json& v, const std::string& where);

} // namespace metersim
