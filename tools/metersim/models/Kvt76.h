// The КВТ-76 heat meter (model "kvt76"): two flow channels, numbers most significant byte first.
//
// My parameter memory (rtc2k):
//   0x0134  Gmax of channel 1, 0x0138 of channel 2
//   0x0152  factory number, 32-bit integer
//   0x05E0  calibration block of 146 bytes, guarded by a checksum:
//             0x05E0  channel 1: K0, Ku, Obr points 1..8 (0x05E8..), K points 1..8 (0x0608..)
//             0x0628  channel 2: K0, Ku, Obr points 1..8 (0x0630..), K points 1..8 (0x0650..)
//             0x0670  checksum: the one's complement of the 16-bit sum of the 144 bytes
//                     before it, most significant byte first
//   0x07E0  calibration stamp, 16 bytes
// RAM: live flow value 0x00A0 (channel 1), 0x00A4 (channel 2); raw measurement 0x0000, 0x0004.
// Clock chip memory (rtc128): 0x80 a 32-bit word, least significant byte first, that tells which
// flow channels I have: 218502 or 225315 for a meter with induction flow channels.
// I take scrambled writes; after one the checksum stays as it was until it is written anew.
//
// Scenario key of my own: "induction_word" (32-bit, default 225315).
#pragma once

#include "Kvt66.h"

namespace metersim {

class Kvt76 : public Kvt66 {
public:
    Kvt76();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Kvt76>(); }

private:
    static HeatMeterLayout Layout();
};

} // namespace metersim
