#include "Texts.h"

#include "Cp1251.h"

#include <stdexcept>

namespace metersim {

TextSet::TextSet(std::vector<std::string> keys, std::size_t maxBytes) : keys_(std::move(keys)), maxBytes_(maxBytes)
{
    for (const auto& key : keys_)
        texts_[key];
}

void TextSet::Load(const json& texts, const std::string& where)
{
    RequireObject(texts, where);
    json rest = texts;
    source_ = texts;
    for (const auto& name : keys_) {
        auto v = Take(rest, name);
        if (!v) continue;
        const std::string key = where + "." + name;
        Bytes bytes;
        if (v->is_string()) {
            try {
                bytes = Utf8ToCp1251(v->get<std::string>());
            } catch (const std::invalid_argument& e) {
                throw ScenarioError(key + ": " + e.what());
            }
        } else if (v->is_object()) { // {"hex": "0105"}: bytes that are not text, such as a binary version
            json obj = *v;
            auto hex = Take(obj, "hex");
            if (!hex) throw ScenarioError(key + ": expected a text or {\"hex\": ...}");
            RequireNoOtherKeys(obj, key);
            bytes = ToHexBytes(*hex, key + ".hex");
        } else {
            throw ScenarioError(key + ": expected a text or {\"hex\": ...}");
        }
        if (bytes.size() > maxBytes_)
            throw ScenarioError(key + ": longer than " + std::to_string(maxBytes_) + " bytes");
        texts_[name] = std::move(bytes);
    }
    RequireNoOtherKeys(rest, where);
}

const Bytes& TextSet::Get(const std::string& key) const
{
    return texts_.at(key);
}

} // namespace metersim
