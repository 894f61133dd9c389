// The КВТ-64M1 heat meter (model "kvt64m1"): one flow channel, numbers least significant byte first.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 32-bit integer
//   0x0020  calibration stamp, 16 bytes
//   0x0082  Gmax
//   K0 0x0120, Ku 0x0124, K points from 0x0128, Obr points from 0x0148
// RAM: live flow value 0x0020, raw measurement 0x03A0.
// I take scrambled writes.
#pragma once

#include "HeatMeter.h"

#include <memory>

namespace metersim {

class Kvt64M1 : public HeatMeter6x {
public:
    Kvt64M1();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Kvt64M1>(); }
};

} // namespace metersim
