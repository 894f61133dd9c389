#include "Kvt61.h"

namespace metersim {

namespace {

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = true;
    l.channels = {{0x0040, 0x0044, 0x0048, 0x0068}};
    l.scrambledWrites = true;
    l.stampCell = 0x01F0;
    l.numberForm = HeatMeterLayout::NumberForm::Text8;
    l.numberCell = 0x0000;
    l.gmaxCells = {0x0009};
    l.liveG = {0x00B4};
    l.liveSfr = {0x00B0};
    l.texts = {{"id", "КВТ-61"}, {"version", "V2.10"}, {"modification", ""}, {"subversion", "12"}};
    l.factoryNumber = "61000023";
    l.gmax = {16.0f};
    return l;
}

} // namespace

Kvt61::Kvt61() : HeatMeter6x("kvt61", Layout()) {}

} // namespace metersim
