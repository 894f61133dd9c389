// The КВТ-64-1 heat meter (model "kvt641"): one flow channel, numbers most significant byte first.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 8 characters
//   0x000A  size code of Gmax, 1 byte (0..7; what a code means depends on my series, told by my
//           modification text: "M" for the M series)
//   0x01F0  calibration stamp, 16 bytes
//   K0 0x0050, Ku 0x0054, K points from 0x0058, Obr points from 0x0078
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
// My software version (00 01) is two bytes, major and minor: {"hex": "0405"} is version 4.05.
// I take scrambled writes.
//
// Scenario key of my own: "size_code" (0..255, default 4) instead of "gmax".
#pragma once

#include "HeatMeter.h"

#include <memory>

namespace metersim {

class Kvt641 : public HeatMeter6x {
public:
    Kvt641();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Kvt641>(); }
    void Load(json& entry, const std::string& where) override;
};

} // namespace metersim
