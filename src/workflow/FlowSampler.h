// The meter under test of a calibration run, read as the poller reads its
// slot (ReadLiveFlow): the flow as the live box shows it and the uncorrected
// fraction behind it, found by inverting the meter's current correction, or
// for a КВТ-64, whose correction the poller applies, from its raw reading.
#pragma once

#include "CalibrationRun.h"
#include "DevManager.h"
#include "Host.h"
#include "Settings.h"

#include <functional>
#include <string>

class CoefficientWriter;
class TClbThread;
class TulvPort;
struct ReferenceChoice;

class SlotMeter : public RunMeter {
public:
    // Slot s of dev, read out (its tables known); the caller holds the port
    // (the poller paused) while the run reads.
    SlotMeter(DevManager& dev, int s);

    // The slot's tables: after a write, those written.
    CoefficientTables Tables() const override;
    bool Read(MeterReading& reading, std::string& error) override;
    std::string FractionFault() const override;

private:
    DevManager& FDev;
    int FSlot;
};

// The guarded write of a run's new table into slot s: the slot takes the new
// points (K0, Ku and Gmax as they are), the writer asks, checks the line,
// backs the meter up, writes, reads back and journals the write with the
// form "calibration". When nothing was sent the slot keeps its old tables.
TableWriter SlotTableWriter(DevManager& dev, CoefficientWriter& writer, int s);

// A whole run on slot s (connected and read out): refuses a reference at the
// meter's own address on the same line (the message names portControl, how the
// user puts the reference on another port), pauses the poller for the whole
// run (polling comes back as it was), connects the reference (on referencePort
// when given, else on the meter's port), runs and gives the result. started
// is told the run before its first sample (to stop it from another thread).
// With the plant record on (the writer has a bench), a run is an event of the
// meter's history in the outbox beside the journal; a failure to append is told.
void RecordRunInPlant(const CoefficientWriter& writer, Host& host, const CalibrationResult& result,
                      const DeviceSlot& slot, const std::string& port);

CalibrationResult CalibrateSlot(DevManager& dev, TClbThread& poller, CoefficientWriter& writer, Host& host, int s,
                                const ReferenceChoice& choice, TulvPort* referencePort, const TimeoutProfile& profile,
                                const CalibrationSettings& settings, const RunEvents& events,
                                const std::string& portControl,
                                const std::function<void(CalibrationRun&)>& started = {});
