#include "Kvt641.h"

namespace metersim {

namespace {

constexpr std::uint16_t kSizeCodeCell = 0x000A;

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = true;
    l.channels = {{0x0050, 0x0054, 0x0058, 0x0078}};
    l.scrambledWrites = true;
    l.stampCell = 0x01F0;
    l.numberForm = HeatMeterLayout::NumberForm::Text8;
    l.numberCell = 0x0000;
    l.liveG = {0x00B4};
    l.liveForm = LiveForm::Fraction;
    l.liveSfr = {0x00B0};
    l.texts = {{"id", "KVT64-1"}, {"version", {{"hex", "0405"}}}, {"modification", ""}, {"subversion", ""}};
    l.factoryNumber = "64100017";
    return l;
}

} // namespace

Kvt641::Kvt641() : HeatMeter6x("kvt641", Layout())
{
    Put("rtc2k", kSizeCodeCell, Bytes{4});
}

void Kvt641::Load(json& entry, const std::string& where)
{
    if (auto code = TakeUnsigned(entry, "size_code", 0xFF, where))
        Put("rtc2k", kSizeCodeCell, Bytes{static_cast<std::uint8_t>(*code)});
    HeatMeter6x::Load(entry, where);
}

} // namespace metersim
