// The КВТ-64 heat meter (model "kvt64"): two flow channels, numbers most significant byte first.
//
// My parameter memory (rtc2k):
//   0x000D  modification byte: 1 or 3 for the versions without a channel G2
//   0x0020  calibration stamp, 16 bytes
//   0x007C  factory number, 32-bit integer
//   0x00CC  Gmax of channel 1, 0x00D0 of channel 2
//   channel 1: K0 0x0700, Ku 0x0718, K points from 0x0720, Obr points from 0x0760
//   channel 2: K0 0x0704, Ku 0x071C, K points from 0x0740, Obr points from 0x0780
// I answer my live values to 0C 00 (value 1 channel 1, value 2 channel 2) and take scrambled writes.
//
// Scenario key of my own: "modification_byte" (0..255, default 0).
#pragma once

#include "HeatMeter.h"

#include <memory>

namespace metersim {

class Kvt64 : public HeatMeter6x {
public:
    Kvt64();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Kvt64>(); }
    void Load(json& entry, const std::string& where) override;
};

} // namespace metersim
