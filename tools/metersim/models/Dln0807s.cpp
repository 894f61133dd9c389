#include "Dln0807s.h"

namespace metersim {

namespace {

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = false;
    l.channels = {{0x0100, 0x0104, 0x0108, 0x0128}};
    l.scrambledWrites = false;
    l.stampCell = 0x01F0;
    l.numberForm = HeatMeterLayout::NumberForm::Text8;
    l.numberCell = 0x0000;
    l.gmaxCells = {0x0010};
    l.liveG = {0x00B4};
    l.liveSfr = {0x00B0};
    l.texts = {{"id", "DLN-08.07.C"}, {"version", "V1.00"}, {"modification", ""}, {"subversion", ""}};
    l.factoryNumber = "08070213";
    l.gmax = {25.0f};
    return l;
}

} // namespace

Dln0807s::Dln0807s() : HeatMeter6x("dln0807s", Layout()) {}

} // namespace metersim
