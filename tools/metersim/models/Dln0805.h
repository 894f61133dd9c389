// The ДЛН-08.05 flow meter (model "dln0805", M4 family): one flow channel; my parameter memory is
// addressed by block and locked (M4Flow.h).
//
// My parameters: 0 factory number (8 characters); K0 13, Ku 14, Gmax 15; Obr points 16..23,
// K points 32..39.
// Parameter queries "P" (p1, p2), whatever data they carry:
//   (4, 0)  the current flow, an M4 float in data bytes 0..3
//   (2, 0)  the two ADC values, packed: the first three bytes of each M4 float, in bytes 0..2 and
//           3..5 (their check bytes left out), bytes 6 and 7 zero
// Setting command "S" (99, 0), once unlocked by (5, 0): puts my factory values back (K0 0, Ku 1,
// points 0.001 ... 0.5 in both tables).
//
// Scenario key of my own: "live": {"G": ..., "ADC": [first, second]}.
#pragma once

#include "M4Flow.h"

#include <memory>

namespace metersim {

class Dln0805 : public M4FlowMeter {
public:
    Dln0805();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Dln0805>(); }
    void PutLiveFlow(int channel, double value) override;
    Answer Handle(const pm4::Request& request) override;
    json Dump() const override;

protected:
    void LoadOwnKeys(json& entry, const std::string& where) override;

private:
    float flow_ = 0.0f;
    float adc_[2] = {0.0f, 0.0f};
};

} // namespace metersim
