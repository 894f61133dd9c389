#include "Scenario.h"

#include <fstream>
#include <sstream>

namespace metersim {

namespace {

constexpr std::uint64_t kMaxBaud = 4'000'000;

std::string Join(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "" : ", ") + n;
    return out;
}

LineSettings LoadLine(const json& v)
{
    RequireObject(v, "line");
    json rest = v;
    LineSettings line;
    if (auto baud = Take(rest, "baud")) {
        line.baud = static_cast<std::uint32_t>(ToUnsigned(*baud, kMaxBaud, "line.baud"));
        if (line.baud == 0) throw ScenarioError("line.baud: must be above 0");
    }
    if (auto pacing = Take(rest, "pacing")) {
        if (!pacing->is_boolean()) throw ScenarioError("line.pacing: expected true or false");
        line.pacing = pacing->get<bool>();
    }
    if (auto gap = Take(rest, "frame_gap_ms")) {
        line.frameGap = std::chrono::milliseconds(ToUnsigned(*gap, 60000, "line.frame_gap_ms"));
        if (line.frameGap.count() == 0) throw ScenarioError("line.frame_gap_ms: must be above 0");
    }
    if (auto echo = Take(rest, "echo")) {
        if (!echo->is_boolean()) throw ScenarioError("line.echo: expected true or false");
        line.echo = echo->get<bool>();
    }
    if (auto seed = Take(rest, "seed"))
        line.seed = static_cast<std::uint32_t>(ToUnsigned(*seed, UINT32_MAX, "line.seed"));
    if (auto chatter = Take(rest, "chatter")) {
        RequireObject(*chatter, "line.chatter");
        json c = *chatter;
        line.chatter.on = true;
        if (auto b = Take(c, "byte"))
            line.chatter.byte = static_cast<std::uint8_t>(ToUnsigned(*b, 255, "line.chatter.byte"));
        if (auto every = Take(c, "every_ms")) {
            line.chatter.everyMs = static_cast<std::uint32_t>(ToUnsigned(*every, 60000, "line.chatter.every_ms"));
            if (line.chatter.everyMs == 0) throw ScenarioError("line.chatter.every_ms: must be above 0");
        }
        if (auto after = Take(c, "after_replies"))
            line.chatter.afterReplies = ToUnsigned(*after, UINT32_MAX, "line.chatter.after_replies");
        RequireNoOtherKeys(c, "line.chatter");
    }
    RequireNoOtherKeys(rest, "line");
    return line;
}

std::unique_ptr<Meter> LoadMeter(const json& v, const std::string& where, const Registry& registry)
{
    RequireObject(v, where);
    json rest = v;
    Take(rest, "description");
    auto protocol = Take(rest, "protocol");
    if (!protocol || !protocol->is_string())
        throw ScenarioError(where + ": missing \"protocol\" (one of " + Join(registry.Protocols()) + ")");
    const std::string family = protocol->get<std::string>();
    if (!registry.Protocol(family))
        throw ScenarioError(where + ".protocol: unknown protocol \"" + family +
                            "\" (known: " + Join(registry.Protocols()) + ")");
    std::string model = "generic";
    if (auto m = Take(rest, "model")) {
        if (!m->is_string()) throw ScenarioError(where + ".model: expected a name");
        model = m->get<std::string>();
    }
    auto meter = registry.CreateMeter(family, model);
    if (!meter)
        throw ScenarioError(where + ".model: no " + family + " model \"" + model +
                            "\" (known: " + Join(registry.Models(family)) + ")");
    meter->Load(rest, where);
    RequireNoOtherKeys(rest, where);
    return meter;
}

} // namespace

Scenario LoadScenario(const json& document, const Registry& registry)
{
    RequireObject(document, "scenario");
    json rest = document;
    Scenario s;
    Take(rest, "description");
    if (auto line = Take(rest, "line")) s.line = LoadLine(*line);
    auto meters = Take(rest, "meters");
    if (!meters || !meters->is_array()) throw ScenarioError("scenario: missing \"meters\" (a list)");
    for (std::size_t i = 0; i < meters->size(); ++i)
        s.meters.push_back(LoadMeter((*meters)[i], "meters[" + std::to_string(i) + "]", registry));
    RequireNoOtherKeys(rest, "scenario");
    return s;
}

Scenario LoadScenarioFile(const std::string& path, const Registry& registry)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError("cannot read the scenario " + path);
    std::stringstream text;
    text << in.rdbuf();
    json document;
    try {
        document = json::parse(text.str());
    } catch (const json::parse_error& e) {
        throw ScenarioError("the scenario " + path + " is not valid JSON: " + e.what());
    }
    return LoadScenario(document, registry);
}

} // namespace metersim
