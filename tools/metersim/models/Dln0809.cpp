#include "Dln0809.h"

namespace metersim {

namespace {

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = false;
    l.channels = {{0x0240, 0x0244, 0x0248, 0x0268}};
    l.scrambledWrites = true;
    l.stampCell = 0x0020;
    l.numberForm = HeatMeterLayout::NumberForm::Integer32;
    l.numberCell = 0x0000;
    l.gmaxCells = {0x0068};
    l.liveG = {0x000C};
    l.liveForm = LiveForm::ZeroGain;
    l.liveSfr = {0x03A0};
    l.texts = {{"id", "DLN-0809"}, {"version", "V1.00"}, {"modification", ""}, {"subversion", ""}};
    l.factoryNumber = 8090031;
    l.gmax = {40.0f};
    return l;
}

} // namespace

Dln0809::Dln0809() : HeatMeter6x("dln0809", Layout()) {}

} // namespace metersim
