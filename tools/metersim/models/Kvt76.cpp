#include "Kvt76.h"

namespace metersim {

HeatMeterLayout Kvt76::Layout()
{
    // The КВТ-66's memory map; I take scrambled writes.
    HeatMeterLayout l = Kvt66::Layout();
    l.scrambledWrites = true;
    l.texts = {{"id", "KVT-76"}, {"version", "V7.010"}, {"modification", ""}, {"subversion", "01"}};
    l.factoryNumber = 76000057;
    l.gmax = {63.0f, 63.0f};
    return l;
}

Kvt76::Kvt76() : Kvt66("kvt76", Layout(), 225315) {}

} // namespace metersim
