#include "Dln0805s.h"

namespace metersim {

namespace {

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = true;
    l.channels = {{0x0100, 0x0104, 0x0108, 0x0128}, {0x0704, 0x071C, 0x0740, 0x0780}};
    l.scrambledWrites = true;
    l.stampCell = 0x01F0;
    l.numberForm = HeatMeterLayout::NumberForm::Text8;
    l.numberCell = 0x0000;
    l.gmaxCells = {0x0010};
    l.liveG = {0x00B4};
    l.liveSfr = {0x00B0};
    l.texts = {{"id", "DLN-805C"}, {"version", "V3.05"}, {"modification", ""}, {"subversion", ""}};
    l.factoryNumber = "08050107";
    l.gmax = {16.0f};
    return l;
}

} // namespace

Dln0805s::Dln0805s() : HeatMeter6x("dln0805s", Layout()) {}

} // namespace metersim
