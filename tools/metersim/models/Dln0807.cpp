#include "Dln0807.h"

namespace metersim {

namespace {

constexpr std::uint16_t kFlow[2] = {121, 133};
constexpr std::uint16_t kSecondFlow[2] = {115, 127};

M4FlowLayout MakeLayout()
{
    M4FlowLayout l;
    l.addressing = M4FlowLayout::Addressing::ByBlock;
    struct Parameters {
        std::uint16_t k0, ku, gmax, obr, k;
    };
    for (const Parameters& p : {Parameters{8, 9, 10, 16, 32}, Parameters{13, 14, 15, 48, 64}}) {
        M4FlowLayout::Cells c{};
        c.k0 = p.k0;
        c.ku = p.ku;
        c.gmax = p.gmax;
        for (int i = 0; i < 8; ++i) {
            c.obr[i] = static_cast<std::uint16_t>(p.obr + i);
            c.k[i] = static_cast<std::uint16_t>(p.k + i);
        }
        l.channels.push_back(c);
    }
    l.locked = true;
    l.factory = {0.0f, 1.0f, 0.003f, 0.01f, 0.02f, 0.04f, 0.2f, 0.45f, 0.9f, 1.2f};
    l.factoryNumber = "08070096";
    l.gmax = {16.0f, 16.0f};
    return l;
}

} // namespace

Dln0807::Dln0807() : M4FlowMeter("dln0807", MakeLayout())
{
    for (int c = 0; c < 2; ++c) {
        PutRam("ram_int", kFlow[c], 0.0f);
        PutRam("ram_int", kSecondFlow[c], 0.0f);
    }
}

void Dln0807::LoadOwnKeys(json& entry, const std::string& where)
{
    if (auto live = Take(entry, "live")) {
        const std::string at = where + ".live";
        RequireObject(*live, at);
        auto g = Take(*live, "G");
        auto second = Take(*live, "GFlow");
        RequireNoOtherKeys(*live, at);
        for (int c = 0; c < 2; ++c) {
            if (g) PutRam("ram_int", kFlow[c], ScenarioFloats(*g, 2, at + ".G")[c]);
            if (second) PutRam("ram_int", kSecondFlow[c], ScenarioFloats(*second, 2, at + ".GFlow")[c]);
        }
    }
}

void Dln0807::PutLiveFlow(int channel, double value)
{
    PutRam("ram_int", kFlow[channel - 1], static_cast<float>(value));
}

} // namespace metersim
