#include "Faults.h"

namespace metersim {

namespace {

constexpr std::uint32_t kMaxNoiseBytes = 1024;
constexpr std::uint32_t kMaxDelayMs = 600000;

// A switch-like fault: true, false, or an object holding only a selector.
std::optional<ReplySelector> ParseSwitch(const json& v, const std::string& where) {
    if (v.is_boolean()) return v.get<bool>() ? std::optional<ReplySelector>(ReplySelector()) : std::nullopt;
    if (v.is_object()) {
        json rest = v;
        auto when = ReplySelector::Take(rest, where);
        RequireNoOtherKeys(rest, where);
        return when;
    }
    throw ScenarioError(where + ": expected true, false or {\"first\": K} / {\"every\": N}");
}

} // namespace

ReplySelector ReplySelector::Take(json& obj, const std::string& where) {
    auto first = metersim::Take(obj, "first");
    auto every = metersim::Take(obj, "every");
    if (first && every) throw ScenarioError(where + ": give either \"first\" or \"every\", not both");
    if (first) {
        auto k = ToUnsigned(*first, UINT32_MAX, where + ".first");
        if (k == 0) throw ScenarioError(where + ".first: must be at least 1");
        return First(k);
    }
    if (every) {
        auto n = ToUnsigned(*every, UINT32_MAX, where + ".every");
        if (n == 0) throw ScenarioError(where + ".every: must be at least 1");
        return Every(n);
    }
    return ReplySelector();
}

bool ReplySelector::Applies(std::uint64_t replyNumber) const {
    switch (kind_) {
    case Kind::All:
        return true;
    case Kind::First:
        return replyNumber <= n_;
    case Kind::Every:
        return replyNumber % n_ == 0;
    }
    return false;
}

std::string ReplySelector::Describe() const {
    switch (kind_) {
    case Kind::All:
        return "every reply";
    case Kind::First:
        return "first " + std::to_string(n_);
    case Kind::Every:
        return "every " + std::to_string(n_);
    }
    return {};
}

FaultSet FaultSet::Parse(const json& faults, const std::string& where) {
    RequireObject(faults, where);
    FaultSet set;
    set.source_ = faults;
    json rest = faults;
    if (auto v = Take(rest, "silent")) set.silent_ = ParseSwitch(*v, where + ".silent");
    if (auto v = Take(rest, "bad_checksum")) set.badChecksum_ = ParseSwitch(*v, where + ".bad_checksum");
    if (auto v = Take(rest, "bad_complement"))
        set.badComplement_ = ParseSwitch(*v, where + ".bad_complement");
    if (auto v = Take(rest, "drop_last_byte")) set.dropLastByte_ = ParseSwitch(*v, where + ".drop_last_byte");
    if (auto v = Take(rest, "delay_ms")) {
        const std::string at = where + ".delay_ms";
        Delay delay;
        if (v->is_object()) {
            json obj = *v;
            auto ms = Take(obj, "ms");
            if (!ms) throw ScenarioError(at + ": missing \"ms\"");
            delay.ms = static_cast<std::uint32_t>(ToUnsigned(*ms, kMaxDelayMs, at + ".ms"));
            delay.when = ReplySelector::Take(obj, at);
            RequireNoOtherKeys(obj, at);
        } else {
            delay.ms = static_cast<std::uint32_t>(ToUnsigned(*v, kMaxDelayMs, at));
        }
        set.delay_ = delay;
    }
    if (auto v = Take(rest, "noise")) {
        const std::string at = where + ".noise";
        Noise noise;
        json obj = v->is_object() ? *v : json::object();
        if (v->is_string())
            obj["hex"] = *v;
        else if (!v->is_object())
            obj["count"] = *v;
        auto count = Take(obj, "count");
        auto hex = Take(obj, "hex");
        if (count.has_value() == hex.has_value())
            throw ScenarioError(at + ": give either \"count\" or \"hex\"");
        if (count)
            noise.count = static_cast<std::uint32_t>(ToUnsigned(*count, kMaxNoiseBytes, at + ".count"));
        if (hex) {
            noise.bytes = ToHexBytes(*hex, at + ".hex");
            if (noise.bytes.size() > kMaxNoiseBytes) throw ScenarioError(at + ".hex: more than 1024 bytes");
        }
        noise.when = ReplySelector::Take(obj, at);
        RequireNoOtherKeys(obj, at);
        set.noise_ = noise;
    }
    RequireNoOtherKeys(rest, where);
    return set;
}

ShapedReply FaultSet::Shape(std::uint64_t n, Bytes frame, const ReplyFrameHooks& hooks,
                            std::mt19937& rng) const {
    ShapedReply out;
    auto note = [&out](const char* name) {
        out.faults += (out.faults.empty() ? "" : " ") + std::string(name);
    };
    if (silent_ && silent_->Applies(n)) {
        out.silent = true;
        note("silent");
        return out;
    }
    // The address fault keeps the checksum right, so that each fault shows alone; a wrong checksum
    // is applied after it so both can act together.
    if (badComplement_ && badComplement_->Applies(n)) {
        hooks.BreakAddressCheck(frame);
        note("bad_complement");
    }
    if (badChecksum_ && badChecksum_->Applies(n)) {
        hooks.BreakChecksum(frame);
        note("bad_checksum");
    }
    if (dropLastByte_ && dropLastByte_->Applies(n) && !frame.empty()) {
        frame.pop_back();
        note("drop_last_byte");
    }
    if (noise_ && noise_->when.Applies(n)) {
        if (!noise_->bytes.empty()) {
            out.bytes = noise_->bytes;
        } else {
            std::uniform_int_distribution<int> byte(0, 255);
            while (out.bytes.size() < noise_->count) {
                auto b = static_cast<std::uint8_t>(byte(rng));
                if (hooks.AllowedAsNoise(b)) out.bytes.push_back(b);
            }
        }
        if (!out.bytes.empty()) note("noise");
    }
    if (delay_ && delay_->when.Applies(n)) {
        out.delayMs = delay_->ms;
        note("delay");
    }
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    return out;
}

} // namespace metersim
