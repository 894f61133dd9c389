// The ДЛН-08.07 flow meter (model "dln0807", M4 family): two flow channels; my parameter memory is
// addressed by block and locked (M4Flow.h).
//
// My parameters, channel 1 / channel 2:
//   0       factory number, 8 characters
//   K0 8 / 13, Ku 9 / 14, Gmax 10 / 15
//   Obr points 16..23 / 48..55, K points 32..39 / 64..71
// Internal RAM ("ram_int", by byte): current flow 121 / 133, second flow value 115 / 127.
//
// I leave the factory with K0 0, Ku 1 and the points 0.003 0.01 0.02 0.04 0.2 0.45 0.9 1.2 in both
// tables. I have no reset command of my own: the tool writes these values back.
//
// Scenario key of my own: "live": {"G": [channel 1, channel 2], "GFlow": [channel 1, channel 2]}.
#pragma once

#include "M4Flow.h"

#include <memory>

namespace metersim {

class Dln0807 : public M4FlowMeter {
public:
    Dln0807();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Dln0807>(); }
    void PutLiveFlow(int channel, double value) override;

protected:
    void LoadOwnKeys(json& entry, const std::string& where) override;
};

} // namespace metersim
