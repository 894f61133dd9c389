#include "Dln0805.h"

namespace metersim {

namespace {

M4FlowLayout MakeLayout()
{
    M4FlowLayout l;
    l.addressing = M4FlowLayout::Addressing::ByBlock;
    M4FlowLayout::Cells c{};
    c.k0 = 13;
    c.ku = 14;
    c.gmax = 15;
    for (int i = 0; i < 8; ++i) {
        c.obr[i] = static_cast<std::uint16_t>(16 + i);
        c.k[i] = static_cast<std::uint16_t>(32 + i);
    }
    l.channels = {c};
    l.locked = true;
    l.factory = kStandardFactoryTable;
    l.factoryNumber = "08050388";
    l.gmax = {10.0f};
    return l;
}

} // namespace

Dln0805::Dln0805() : M4FlowMeter("dln0805", MakeLayout()) {}

void Dln0805::LoadOwnKeys(json& entry, const std::string& where)
{
    if (auto live = Take(entry, "live")) {
        const std::string at = where + ".live";
        RequireObject(*live, at);
        auto g = Take(*live, "G");
        auto adc = Take(*live, "ADC");
        RequireNoOtherKeys(*live, at);
        if (g) flow_ = ScenarioFloat(*g, at + ".G");
        if (adc) {
            const auto v = ScenarioFloats(*adc, 2, at + ".ADC");
            adc_[0] = v[0];
            adc_[1] = v[1];
        }
    }
}

Answer Dln0805::Handle(const pm4::Request& r)
{
    if (r.letter == 'P' && r.p1 == 4 && r.p2 == 0) {
        const auto b = EncodeM4(flow_);
        return Answer::With({b[0], b[1], b[2], b[3], 0, 0, 0, 0});
    }
    if (r.letter == 'P' && r.p1 == 2 && r.p2 == 0) {
        const auto a = EncodeM4(adc_[0]);
        const auto b = EncodeM4(adc_[1]);
        return Answer::With({a[0], a[1], a[2], b[0], b[1], b[2], 0, 0});
    }
    if (r.letter == 'S' && r.p1 == 99 && r.p2 == 0 && WritesEnabled()) {
        ResetK(1);
        ResetObr(1);
    }
    return M4FlowMeter::Handle(r); // records the setting and answers it
}

json Dln0805::Dump() const
{
    json d = M4FlowMeter::Dump();
    d["live"] = {{"G", flow_}, {"ADC", {adc_[0], adc_[1]}}};
    return d;
}

void Dln0805::PutLiveFlow(int channel, double value)
{
    flow_ = static_cast<float>(value);
}

} // namespace metersim
