// The ДЛН-08.09 flow meter (model "dln0809"): one flow channel, numbers least significant byte first.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 32-bit integer
//   0x0020  calibration stamp, 16 bytes
//   0x0068  Gmax
//   K0 0x0240, Ku 0x0244, K points from 0x0248, Obr points from 0x0268
// RAM: live flow value 0x000C, raw measurement 0x03A0.
// I take scrambled writes.
#pragma once

#include "HeatMeter.h"

#include <memory>

namespace metersim {

class Dln0809 : public HeatMeter6x {
public:
    Dln0809();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Dln0809>(); }
};

} // namespace metersim
