#include "Kvt66.h"

namespace metersim {

namespace {

constexpr std::uint8_t kInductionCell = 0x80;

} // namespace

HeatMeterLayout Kvt66::Layout()
{
    HeatMeterLayout l;
    l.bigEndian = true;
    l.channels = {{0x05E0, 0x05E4, 0x0608, 0x05E8}, {0x0628, 0x062C, 0x0650, 0x0630}};
    l.scrambledWrites = false;
    l.stampCell = 0x07E0;
    l.numberForm = HeatMeterLayout::NumberForm::Integer32;
    l.numberCell = 0x0152;
    l.gmaxCells = {0x0134, 0x0138};
    l.liveG = {0x00A0, 0x00A4};
    l.liveForm = LiveForm::Fraction;
    l.liveSfr = {0x0000, 0x0004};
    l.block = HeatMeterLayout::GuardedBlock{0x05E0, 144};
    l.texts = {{"id", "KVT-66"}, {"version", "V6.02"}, {"modification", ""}, {"subversion", "01"}};
    l.factoryNumber = 66000042;
    l.gmax = {40.0f, 40.0f};
    return l;
}

Kvt66::Kvt66() : Kvt66("kvt66", Layout(), 218502) {}

Kvt66::Kvt66(std::string model, HeatMeterLayout layout, std::uint32_t inductionWord)
    : HeatMeter6x(std::move(model), std::move(layout))
{
    PutInductionWord(inductionWord);
}

void Kvt66::PutInductionWord(std::uint32_t word)
{
    Put("rtc128", kInductionCell,
        Bytes{static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
              static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)});
}

void Kvt66::Load(json& entry, const std::string& where)
{
    if (auto word = TakeUnsigned(entry, "induction_word", UINT32_MAX, where))
        PutInductionWord(static_cast<std::uint32_t>(*word));
    HeatMeter6x::Load(entry, where);
}

} // namespace metersim
