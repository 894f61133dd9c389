// The meter under test of a calibration run, read as the poller reads its
// slot (ReadLiveFlow): the flow as the live box shows it and the uncorrected
// fraction behind it, found by inverting the meter's current correction, or
// for a КВТ-64, whose correction the poller applies, from its raw reading.
#pragma once

#include "CalibrationRun.h"
#include "DevManager.h"

#include <string>

class SlotMeter : public RunMeter {
public:
    // Slot s of dev, read out (its tables known); the caller holds the port
    // (the poller paused) while the run reads.
    SlotMeter(DevManager& dev, int s);

    const CoefficientTables& Tables() const override { return FTables; }
    bool Read(MeterReading& reading, std::string& error) override;

    // After a write: the tables the meter now holds.
    void SetTables(const CoefficientTables& tables) { FTables = tables; }

private:
    DevManager& FDev;
    int FSlot;
    CoefficientTables FTables;
};
