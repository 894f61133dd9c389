// The calibration data of a slot as the read-out found it: the measured-flow
// table K and the reference-flow table Obr (index 0 K0, 1 Ku, 2..9 the eight
// points, as fractions of Gmax), the flow scale Gmax, and two flags.
#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <string>

// The three things a meter keeps per channel, as they stand in its memory.
struct CoefficientTables {
    std::array<float, 10> K{};
    std::array<float, 10> Obr{};
    float Gmax = 0.0f;
};

// A value that the meter holds other than it was written: its name in the
// tables ("K0", "Ku", "K1".."K8"), what was meant and what the meter gave back.
struct ValueDifference {
    std::string Name;
    float Meant = 0;
    float Held = 0;
};

struct CoefficientSet {
    std::array<float, 10> K{};
    std::array<float, 10> Obr{};
    float Gmax = 0.0f;
    // Set when the slot's read-out has run through both tables; cleared by every
    // configuration change of the slot.
    bool ReadDone = false;
    // Whether the slot is polled; the window's check box may change it while
    // the poller runs.
    std::atomic<bool> PollEnabled{false};
    // The tables as the last read-out found them in the meter (after a
    // verified write: as written); empty when the tables were not read whole.
    // The write backs them up before it sends anything.
    std::optional<CoefficientTables> AsFound;

    CoefficientSet() = default;
    CoefficientSet(const CoefficientSet& o)
        : K(o.K), Obr(o.Obr), Gmax(o.Gmax), ReadDone(o.ReadDone), PollEnabled(o.PollEnabled.load()),
          AsFound(o.AsFound)
    {
    }
    CoefficientSet& operator=(const CoefficientSet& o)
    {
        K = o.K;
        Obr = o.Obr;
        Gmax = o.Gmax;
        ReadDone = o.ReadDone;
        PollEnabled = o.PollEnabled.load();
        AsFound = o.AsFound;
        return *this;
    }
};
