#include "Kvt64M1.h"

namespace metersim {

namespace {

HeatMeterLayout Layout()
{
    HeatMeterLayout l;
    l.bigEndian = false;
    l.channels = {{0x0120, 0x0124, 0x0128, 0x0148}};
    l.scrambledWrites = true;
    l.stampCell = 0x0020;
    l.numberForm = HeatMeterLayout::NumberForm::Integer32;
    l.numberCell = 0x0000;
    l.gmaxCells = {0x0082};
    l.liveG = {0x0020};
    l.liveSfr = {0x03A0};
    l.texts = {{"id", "KVT-64M-1"}, {"version", "V1.02"}, {"modification", ""}, {"subversion", "01"}};
    l.factoryNumber = 64100071;
    l.gmax = {6.3f};
    return l;
}

} // namespace

Kvt64M1::Kvt64M1() : HeatMeter6x("kvt64m1", Layout()) {}

} // namespace metersim
