// The ДЛН-08.05С flow meter (model "dln0805s"): numbers most significant byte first.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 8 characters
//   0x0010  Gmax
//   0x01F0  calibration stamp, 16 bytes (written in two halves of 8)
//   channel 1: K0 0x0100, Ku 0x0104, K points from 0x0108, Obr points from 0x0128
//   channel 2: K0 0x0704, Ku 0x071C, K points from 0x0740, Obr points from 0x0780
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
// I am used with one flow channel; the cells of the second are part of my memory all the same.
// I take scrambled writes. My software version (00 01) is a letter and a number: "V3.05".
#pragma once

#include "HeatMeter.h"

#include <memory>

namespace metersim {

class Dln0805s : public HeatMeter6x {
public:
    Dln0805s();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Dln0805s>(); }
};

} // namespace metersim
