// The ДЛН-08.07С flow meter (model "dln0807s"): numbers least significant byte first.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 8 characters
//   0x0010  Gmax
//   0x01F0  calibration stamp, 16 bytes (written in two halves of 8)
//   K0 0x0100, Ku 0x0104, K points from 0x0108, Obr points from 0x0128
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
// Each of my two flow channels answers at a network address of its own (the second at the next
// address) and keeps its own memory of this layout: a scenario puts one "dln0807s" at each address.
// I take no scrambled writes: a 9-byte write is stored as 9 bytes.
#pragma once

#include "HeatMeter.h"

#include <memory>

namespace metersim {

class Dln0807s : public HeatMeter6x {
public:
    Dln0807s();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Dln0807s>(); }
};

} // namespace metersim
