// What a meter shows the flow stand: the calibration a flow channel holds and the form in which the
// meter reports its live flow. The stand needs nothing else to put a value in the live-flow cell
// that, read by the tool, gives the flow the meter measures.
#pragma once

#include <array>

namespace metersim {

// How the value in a meter's live-flow cell relates to its corrected flow fraction c (the
// uncorrected fraction x taken through the point table).
enum class LiveForm {
    RawReading, // the raw reading G = x · 26214 / Ku + K0, uncorrected: the reader corrects it
    Fraction,   // c
    Flow,       // c · Gmax
    ZeroGain,   // G with Ku · (G − K0) = c
};

struct StandCalibration {
    double gmax = 0;            // 0 when the meter does not know it from its own memory
    std::array<double, 10> k{}; // K0, Ku and the eight K points
    std::array<double, 10> obr{};
    LiveForm form = LiveForm::Flow;
};

} // namespace metersim
