// The КВТ-64К heat meter (model "kvt61"): numbers most significant byte first. It answers for two
// channel numbers but keeps one set of calibration cells.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 8 characters
//   0x0009  Gmax
//   0x01F0  calibration stamp, 16 bytes
//   K0 0x0040, Ku 0x0044, K points from 0x0048, Obr points from 0x0068
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
// I take scrambled writes.
#pragma once

#include "HeatMeter.h"

#include <memory>

namespace metersim {

class Kvt61 : public HeatMeter6x {
public:
    Kvt61();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Kvt61>(); }
};

} // namespace metersim
