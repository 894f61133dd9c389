#include "Kvt09M4.h"

namespace metersim {

namespace {

constexpr std::uint16_t kFlow[2] = {0x044D, 0x048D};

M4FlowLayout MakeLayout()
{
    M4FlowLayout l;
    l.addressing = M4FlowLayout::Addressing::ByByte;
    for (std::uint16_t base : {0x0100, 0x0200}) {
        M4FlowLayout::Cells c{};
        c.k0 = static_cast<std::uint16_t>(base + 0x48);
        c.ku = static_cast<std::uint16_t>(base + 0x4C);
        c.gmax = static_cast<std::uint16_t>(base + 0x50);
        for (int p = 0; p < 8; ++p) {
            c.obr[p] = static_cast<std::uint16_t>(base + 0x60 + 4 * p);
            c.k[p] = static_cast<std::uint16_t>(base + 0xA0 + 4 * p);
        }
        l.channels.push_back(c);
    }
    l.locked = false;
    l.factory = kStandardFactoryTable;
    l.factoryNumber = "09400051";
    l.gmax = {6.0f, 6.0f};
    return l;
}

} // namespace

Kvt09M4::Kvt09M4() : M4FlowMeter("kvt09m4", MakeLayout())
{
    PutRam("ram_ext", kFlow[0], 0.0f);
    PutRam("ram_ext", kFlow[1], 0.0f);
}

void Kvt09M4::LoadOwnKeys(json& entry, const std::string& where)
{
    if (auto live = Take(entry, "live")) {
        const std::string at = where + ".live";
        RequireObject(*live, at);
        auto g = Take(*live, "G");
        RequireNoOtherKeys(*live, at);
        if (g) {
            const auto v = ScenarioFloats(*g, 2, at + ".G");
            PutRam("ram_ext", kFlow[0], v[0]);
            PutRam("ram_ext", kFlow[1], v[1]);
        }
    }
}

Answer Kvt09M4::Handle(const pm4::Request& r)
{
    if (r.letter == 'S' && r.p2 == 1) {
        if (r.p1 == 1 || r.p1 == 2) ResetK(r.p1);
        if (r.p1 == 17 || r.p1 == 18) ResetObr(r.p1 - 16);
    }
    return M4FlowMeter::Handle(r); // records the setting and answers it
}

void Kvt09M4::PutLiveFlow(int channel, double value)
{
    PutRam("ram_ext", kFlow[channel - 1], static_cast<float>(value));
}

} // namespace metersim
