// The ГЗУ-08 ultrasonic flow meter (model "gzu08", relay family): two flow directions, forward
// (channel 1) and reverse (channel 2), sharing K0 and Ku. What every ultrasonic meter keeps is in
// Ultrasonic.h; mine besides:
//
// My parameter memory (rtc2k):
//   0x0021  sensor index, 1 byte, and a spare byte after it (0)
//   0x02D0  calibration stamp, 16 bytes
//   0x0300  K0, 0x0304 Ku
//   forward: K points from 0x0310, Obr points from 0x0350
//   reverse: K points from 0x0330, Obr points from 0x0370
// My RAM: 0x0010 live flow value; 0x0800 data buffer, 13 bytes.
//
// Scenario key of my own: "sensor_index" (0..255, default 1).
// The dump adds "sensor_index".
#pragma once

#include "Ultrasonic.h"

#include <memory>

namespace metersim {

class Gzu08 : public UltrasonicMeter {
public:
    Gzu08();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Gzu08>(); }
    void Load(json& entry, const std::string& where) override;
    json Dump() const override;
};

} // namespace metersim
