// The КВТ-09M4 heat meter's flow part (model "kvt09m4", M4 family): two flow channels; my parameter
// memory is addressed by byte (M4Flow.h).
//
// My parameter memory ("mem"), channel 1 / channel 2:
//   0x0000  factory number, 8 characters
//   K0 0x0148 / 0x0248, Ku 0x014C / 0x024C, Gmax 0x0150 / 0x0250
//   Obr points from 0x0160 / 0x0260, K points from 0x01A0 / 0x02A0, 4 bytes apart
// External RAM ("ram_ext"): current flow 0x044D / 0x048D.
// My parameter memory is not locked.
//
// Setting commands "S" (p1, p2) that put factory values back (K0 0, Ku 1, points 0.001 ... 0.5):
//   (1, 1)  the K table of channel 1 with K0 and Ku     (2, 1)  the same for channel 2
//   (17, 1) the Obr points of channel 1                 (18, 1) the same for channel 2
//
// Scenario key of my own: "live": {"G": [channel 1, channel 2]}.
#pragma once

#include "M4Flow.h"

#include <memory>

namespace metersim {

class Kvt09M4 : public M4FlowMeter {
public:
    Kvt09M4();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Kvt09M4>(); }
    void PutLiveFlow(int channel, double value) override;
    Answer Handle(const pm4::Request& request) override;

protected:
    void LoadOwnKeys(json& entry, const std::string& where) override;
};

} // namespace metersim
