#include "Faults.h"

#include <algorithm>
#include <stdexcept>

namespace metersim {

namespace {

constexpr std::uint32_t kMaxNoiseBytes = 1024;
constexpr std::uint32_t kMaxDelayMs = 600000;

constexpr const char* kFaultNames[] = {"silent",         "delay_ms",       "noise",      "bad_checksum", "bad_crc",
                                       "bad_complement", "drop_last_byte", "wrong_code", "exception"};

// A switch-like fault: true, false, or an object holding only a selector.
std::optional<ReplySelector> ParseSwitch(const json& v, const std::string& where)
{
    if (v.is_boolean()) return v.get<bool>() ? std::optional<ReplySelector>(ReplySelector()) : std::nullopt;
    if (v.is_object()) {
        json rest = v;
        auto when = ReplySelector::Take(rest, where);
        RequireNoOtherKeys(rest, where);
        return when;
    }
    throw ScenarioError(where + ": expected true, false or {\"first\": K} / {\"every\": N}");
}

std::string Join(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "" : ", ") + n;
    return out;
}

// Refuses the faults that the menu does not take, naming why.
void CheckMenu(const json& faults, const std::string& where, const FaultMenu& menu)
{
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        const std::string& key = it.key();
        if (std::find(menu.accepted.begin(), menu.accepted.end(), key) != menu.accepted.end()) continue;
        if (auto r = menu.refusals.find(key); r != menu.refusals.end())
            throw ScenarioError(where + "." + key + ": " + r->second);
        if (std::find(std::begin(kFaultNames), std::end(kFaultNames), key) != std::end(kFaultNames))
            throw ScenarioError(where + "." + key + ": not a fault of " + menu.family +
                                " meters (theirs: " + Join(menu.accepted) + ")");
        // Anything else is an unknown key, reported as such below.
    }
}

} // namespace

void ReplyFrameHooks::BreakAddressCheck(Bytes&) const
{
    throw std::logic_error("this family has no address check to break");
}

void ReplyFrameHooks::BreakReplyCode(Bytes&) const
{
    throw std::logic_error("this family has no reply code to break");
}

void ReplyFrameHooks::MakeException(Bytes&, std::uint8_t) const
{
    throw std::logic_error("this family has no exception replies");
}

ReplySelector ReplySelector::Take(json& obj, const std::string& where)
{
    auto first = metersim::Take(obj, "first");
    auto every = metersim::Take(obj, "every");
    auto from = metersim::Take(obj, "from");
    auto to = metersim::Take(obj, "to");
    if ((first ? 1 : 0) + (every ? 1 : 0) + (from ? 1 : 0) > 1)
        throw ScenarioError(where + ": give one of \"first\", \"every\" and \"from\"");
    if (to && !from) throw ScenarioError(where + ".to: needs \"from\"");
    if (from) {
        auto k = ToUnsigned(*from, UINT32_MAX, where + ".from");
        if (k == 0) throw ScenarioError(where + ".from: must be at least 1");
        if (!to) return From(k);
        auto l = ToUnsigned(*to, UINT32_MAX, where + ".to");
        if (l < k) throw ScenarioError(where + ".to: must not be below \"from\"");
        return Range(k, l);
    }
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

bool ReplySelector::Applies(std::uint64_t replyNumber) const
{
    switch (kind_) {
    case Kind::All: return true;
    case Kind::First: return replyNumber <= n_;
    case Kind::Every: return replyNumber % n_ == 0;
    case Kind::From: return replyNumber >= n_;
    case Kind::Range: return replyNumber >= n_ && replyNumber <= to_;
    }
    return false;
}

std::string ReplySelector::Describe() const
{
    switch (kind_) {
    case Kind::All: return "every reply";
    case Kind::First: return "first " + std::to_string(n_);
    case Kind::Every: return "every " + std::to_string(n_);
    case Kind::From: return "from " + std::to_string(n_);
    case Kind::Range: return "replies " + std::to_string(n_) + " to " + std::to_string(to_);
    }
    return {};
}

FaultSet FaultSet::Parse(const json& faults, const std::string& where, const FaultMenu& menu)
{
    RequireObject(faults, where);
    CheckMenu(faults, where, menu);
    FaultSet set;
    set.source_ = faults;
    json rest = faults;
    if (auto v = Take(rest, "silent")) set.silent_ = ParseSwitch(*v, where + ".silent");
    auto checksum = Take(rest, "bad_checksum");
    auto crc = Take(rest, "bad_crc");
    if (checksum && crc) throw ScenarioError(where + ": bad_checksum and bad_crc are one fault; give one of them");
    if (checksum) set.badChecksum_ = ParseSwitch(*checksum, where + ".bad_checksum");
    if (crc) set.badChecksum_ = ParseSwitch(*crc, where + ".bad_crc");
    if (auto v = Take(rest, "bad_complement")) set.badComplement_ = ParseSwitch(*v, where + ".bad_complement");
    if (auto v = Take(rest, "drop_last_byte")) set.dropLastByte_ = ParseSwitch(*v, where + ".drop_last_byte");
    if (auto v = Take(rest, "wrong_code")) set.wrongCode_ = ParseSwitch(*v, where + ".wrong_code");
    if (auto v = Take(rest, "unplug")) set.unplug_ = ParseSwitch(*v, where + ".unplug");
    if (auto v = Take(rest, "drop_byte")) {
        const std::string at = where + ".drop_byte";
        DropByte drop;
        if (v->is_object()) {
            json obj = *v;
            auto position = Take(obj, "at");
            if (!position) throw ScenarioError(at + ": missing \"at\"");
            drop.at = static_cast<std::uint32_t>(ToUnsigned(*position, 300, at + ".at"));
            drop.when = ReplySelector::Take(obj, at);
            RequireNoOtherKeys(obj, at);
        } else {
            drop.at = static_cast<std::uint32_t>(ToUnsigned(*v, 300, at));
        }
        set.dropByte_ = drop;
    }
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
    if (auto v = Take(rest, "exception")) {
        const std::string at = where + ".exception";
        Exception exception;
        if (v->is_object()) {
            json obj = *v;
            auto code = Take(obj, "code");
            if (!code) throw ScenarioError(at + ": missing \"code\"");
            exception.code = static_cast<std::uint8_t>(ToUnsigned(*code, 255, at + ".code"));
            exception.when = ReplySelector::Take(obj, at);
            RequireNoOtherKeys(obj, at);
        } else {
            exception.code = static_cast<std::uint8_t>(ToUnsigned(*v, 255, at));
        }
        if (exception.code == 0) throw ScenarioError(at + ": an exception code is 1..255");
        set.exception_ = exception;
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
        if (count.has_value() == hex.has_value()) throw ScenarioError(at + ": give either \"count\" or \"hex\"");
        if (count) noise.count = static_cast<std::uint32_t>(ToUnsigned(*count, kMaxNoiseBytes, at + ".count"));
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

ShapedReply FaultSet::Shape(std::uint64_t n, Bytes frame, const ReplyFrameHooks& hooks, std::mt19937& rng) const
{
    ShapedReply out;
    auto note = [&out](const char* name) { out.faults += (out.faults.empty() ? "" : " ") + std::string(name); };
    if (silent_ && silent_->Applies(n)) {
        out.silent = true;
        note("silent");
        return out;
    }
    if (unplug_ && unplug_->Applies(n)) {
        out.unplug = true;
        note("unplug");
        return out;
    }
    // The exception replaces the answer; the damages that follow act on whatever frame goes out.
    if (exception_ && exception_->when.Applies(n)) {
        hooks.MakeException(frame, exception_->code);
        note("exception");
    }
    // The code and address faults keep the checksum right, so that each fault shows alone; a wrong
    // checksum is applied after them so that both can act together.
    if (wrongCode_ && wrongCode_->Applies(n)) {
        hooks.BreakReplyCode(frame);
        note("wrong_code");
    }
    if (badComplement_ && badComplement_->Applies(n)) {
        hooks.BreakAddressCheck(frame);
        note("bad_complement");
    }
    if (badChecksum_ && badChecksum_->Applies(n)) {
        hooks.BreakChecksum(frame);
        note("bad_checksum");
    }
    if (dropByte_ && dropByte_->when.Applies(n) && dropByte_->at < frame.size()) {
        frame.erase(frame.begin() + dropByte_->at);
        note("drop_byte");
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
