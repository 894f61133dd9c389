#include "Dln0803s.h"

#include <algorithm>

namespace metersim {

namespace {

constexpr std::uint16_t kGmaxIndexCell = 0x0008;
constexpr std::uint16_t kSizeCodeCell = 0x0009;

constexpr float kGmax1[] = {6.0f, 16.0f, 30.0f, 60.0f, 160.0f, 300.0f, 600.0f};
constexpr std::uint8_t kSizeCodes1[] = {15, 25, 32, 50, 80, 100, 150};
constexpr float kGmax2[] = {6.3f, 16.0f, 25.0f, 40.0f, 63.0f, 160.0f, 250.0f, 630.0f};
constexpr std::uint8_t kSizeCodes2[] = {15, 25, 32, 40, 50, 80, 100, 150};

constexpr const char* kIdentity[] = {"DLN0803-C", "DLN0803-CM"};

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = true;
    l.channels = {{0x0040, 0x0044, 0x0048, 0x0068}};
    l.scrambledWrites = true;
    l.stampCell = 0x01F0;
    l.numberForm = HeatMeterLayout::NumberForm::Text8;
    l.numberCell = 0x0000;
    l.liveG = {0x00B4};
    l.liveSfr = {0x00B0};
    // The identity follows the modification (Load); this is modification 1's.
    l.texts = {{"id", kIdentity[0]}, {"version", "V0.70"}, {"modification", ""}, {"subversion", ""}};
    l.factoryNumber = "08030042";
    return l;
}

} // namespace

Dln0803s::Dln0803s() : HeatMeter6x("dln0803s", Layout())
{
    PutIndex(3);
}

std::span<const float> Dln0803s::GmaxList() const
{
    if (modification_ == 2) return kGmax2;
    return kGmax1;
}

std::span<const std::uint8_t> Dln0803s::SizeCodes() const
{
    if (modification_ == 2) return kSizeCodes2;
    return kSizeCodes1;
}

// The size code goes with the index as long as the index lies within my list.
void Dln0803s::PutIndex(std::uint8_t index)
{
    Put("rtc2k", kGmaxIndexCell, Bytes{index});
    if (index < SizeCodes().size()) Put("rtc2k", kSizeCodeCell, Bytes{SizeCodes()[index]});
}

void Dln0803s::Load(json& entry, const std::string& where)
{
    if (auto m = TakeUnsigned(entry, "modification", 2, where)) {
        if (*m == 0) throw ScenarioError(where + ".modification: 1 or 2");
        modification_ = static_cast<int>(*m);
        json& texts = entry["texts"];
        if (texts.is_null()) texts = json::object();
        if (texts.is_object() && !texts.contains("id")) texts["id"] = kIdentity[modification_ - 1];
    }
    auto gmax = Take(entry, "gmax");
    auto index = TakeUnsigned(entry, "gmax_index", 0xFF, where);
    auto sizeCode = TakeUnsigned(entry, "size_code", 0xFF, where);
    if (gmax && index) throw ScenarioError(where + ".gmax: give either this or \"gmax_index\"");
    std::uint8_t at = 3;
    if (gmax) {
        const auto list = GmaxList();
        const auto it = gmax->is_number() ? std::find(list.begin(), list.end(), gmax->get<float>()) : list.end();
        if (it == list.end())
            throw ScenarioError(where + ".gmax: " + gmax->dump() + " is none of the sizes of modification " +
                                std::to_string(modification_));
        at = static_cast<std::uint8_t>(it - list.begin());
    }
    if (index) at = static_cast<std::uint8_t>(*index);
    PutIndex(at);
    if (sizeCode) Put("rtc2k", kSizeCodeCell, Bytes{static_cast<std::uint8_t>(*sizeCode)});
    HeatMeter6x::Load(entry, where);
}

double Dln0803s::OwnGmax(int channel) const
{
    if (channel != 1) return 0;
    for (const auto& area : Areas())
        if (area.Name() == "rtc2k") {
            const std::uint8_t index = area.Read(kGmaxIndexCell, 1)[0];
            return index < GmaxList().size() ? GmaxList()[index] : 0.0;
        }
    return 0;
}

json Dln0803s::Dump() const
{
    json d = HeatMeter6x::Dump();
    Bytes bytes;
    for (const auto& area : Areas())
        if (area.Name() == "rtc2k") bytes = area.Read(kGmaxIndexCell, 2);
    const auto list = GmaxList();
    d["modification"] = modification_;
    d["gmax_index"] = bytes[0];
    d["size_code"] = bytes[1];
    d["gmax"] = bytes[0] < list.size() ? json(list[bytes[0]]) : json(nullptr);
    return d;
}

} // namespace metersim
