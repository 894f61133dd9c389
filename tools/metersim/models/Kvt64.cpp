#include "Kvt64.h"

namespace metersim {

namespace {

constexpr std::uint16_t kModificationCell = 0x000D;

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = true;
    l.channels = {{0x0700, 0x0718, 0x0720, 0x0760}, {0x0704, 0x071C, 0x0740, 0x0780}};
    l.scrambledWrites = true;
    l.stampCell = 0x0020;
    l.numberForm = HeatMeterLayout::NumberForm::Integer32;
    l.numberCell = 0x007C;
    l.gmaxCells = {0x00CC, 0x00D0};
    l.liveThroughSfrTek = true;
    l.liveForm = LiveForm::RawReading;
    l.texts = {{"id", "KVT-64"}, {"version", "V3.011"}, {"modification", ""}, {"subversion", "01"}};
    l.factoryNumber = 12064001;
    l.gmax = {25.0f, 25.0f};
    return l;
}

} // namespace

Kvt64::Kvt64() : HeatMeter6x("kvt64", Layout())
{
    Put("rtc2k", kModificationCell, Bytes{0});
}

void Kvt64::Load(json& entry, const std::string& where)
{
    if (auto b = TakeUnsigned(entry, "modification_byte", 0xFF, where))
        Put("rtc2k", kModificationCell, Bytes{static_cast<std::uint8_t>(*b)});
    HeatMeter6x::Load(entry, where);
}

} // namespace metersim
