// The КВТ-64КУ heat meter's ultrasonic flow part (model "kvt64ku", relay family): one flow channel.
// What every ultrasonic meter keeps is in Ultrasonic.h; mine besides:
//
// My parameter memory (rtc2k):
//   0x0020  calibration stamp, 16 bytes (it reaches over Gmax at 0x0023: a stamp write overwrites it)
//   0x0090  K0, 0x0094 Ku, K points from 0x00A0, Obr points from 0x00C0
//   0x00F0  measuring-chip settings, 7 bytes
// My RAM:
//   0x001E  live flow value
//   0x03A4, 0x03A8  first and second sound time (singles, ns), in the raw value block
//   0x03AC, 0x03B0  first and second amplitude (singles), in the raw value block
//   0x0800  data buffer, 64 bytes
//
// The tool also reaches me with plain 6x frames: my verification-mode switch (31 7A, A8 53 to
// address 0), the alternative write 0A 42 and the Gmax write to my network address. This model is
// a relay meter and hears relay frames only, so those do not reach it here.
//
// Scenario keys of my own: "sound_times" and "amplitudes" (two numbers each), "chip_settings"
// ({"hex": "..."}, 7 bytes).
#pragma once

#include "Ultrasonic.h"

#include <memory>

namespace metersim {

class Kvt64KU : public UltrasonicMeter {
public:
    Kvt64KU();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Kvt64KU>(); }

protected:
    void LoadOwnKeys(json& entry, const std::string& where) override;
};

} // namespace metersim
