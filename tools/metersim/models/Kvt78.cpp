#include "Kvt78.h"

namespace metersim {

namespace {

constexpr std::uint16_t kModificationCell = 0x01F4;

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = false;
    l.channels = {{0x0300, 0x0308, 0x0320, 0x0360}, {0x0304, 0x030C, 0x0340, 0x0380}};
    l.scrambledWrites = true;
    l.stampCell = 0x0020;
    l.numberForm = HeatMeterLayout::NumberForm::Integer32;
    l.numberCell = 0x0000;
    l.gmaxCells = {0x0488, 0x048C};
    l.liveG = {0x01CC, 0x01D0};
    l.liveSfr = {0x0200, 0x0204};
    l.texts = {{"id", "KVT-64M"}, {"version", "V1.07"}, {"modification", ""}, {"subversion", "01"}};
    l.factoryNumber = 78000063;
    l.gmax = {16.0f, 25.0f};
    return l;
}

} // namespace

Kvt78::Kvt78() : HeatMeter6x("kvt78", Layout())
{
    Put("rtc2k", kModificationCell, Bytes{0});
}

void Kvt78::Load(json& entry, const std::string& where)
{
    if (auto b = TakeUnsigned(entry, "modification_byte", 0xFF, where))
        Put("rtc2k", kModificationCell, Bytes{static_cast<std::uint8_t>(*b)});
    HeatMeter6x::Load(entry, where);
}

} // namespace metersim
