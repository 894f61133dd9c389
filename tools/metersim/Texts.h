// A meter's texts (identity, software version, ...), given in a scenario under "texts" as UTF-8
// text, sent in code page 1251 (see Cp1251.h), or as {"hex": "0105"} for bytes that are not text.
#pragma once

#include "Bytes.h"
#include "JsonFields.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace metersim {

class TextSet {
public:
    // keys: the texts a meter of the family keeps; maxBytes: the most one reply can carry.
    TextSet(std::vector<std::string> keys, std::size_t maxBytes);

    // Takes the "texts" object; unknown keys, characters outside the code page and texts that do
    // not fit a reply are refused.
    void Load(const json& texts, const std::string& where);

    // The bytes of a text (empty when the scenario gave none).
    const Bytes& Get(const std::string& key) const;
    // The texts as in the scenario, for the dump.
    const json& Source() const { return source_; }

private:
    std::vector<std::string> keys_;
    std::size_t maxBytes_;
    std::map<std::string, Bytes> texts_;
    json source_ = json::object();
};

} // namespace metersim
