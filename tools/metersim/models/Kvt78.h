// The КВТ-64M heat meter (model "kvt78"): two flow channels, numbers least significant byte first.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 32-bit integer
//   0x0020  calibration stamp, 16 bytes
//   0x01F4  modification byte: 1 or 3 for the versions without a channel G2
//   0x0488  Gmax of channel 1, 0x048C of channel 2
//   channel 1: K0 0x0300, Ku 0x0308, K points from 0x0320, Obr points from 0x0360
//   channel 2: K0 0x0304, Ku 0x030C, K points from 0x0340, Obr points from 0x0380
// RAM: live flow value 0x01CC (channel 1), 0x01D0 (channel 2); raw measurement 0x0200, 0x0204.
// I take scrambled writes.
//
// Scenario key of my own: "modification_byte" (0..255, default 0).
#pragma once

#include "HeatMeter.h"

#include <memory>

namespace metersim {

class Kvt78 : public HeatMeter6x {
public:
    Kvt78();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Kvt78>(); }
    void Load(json& entry, const std::string& where) override;
};

} // namespace metersim
