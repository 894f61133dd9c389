#include "FlowSampler.h"

#include "ClbThread.h"
#include "CoefficientWriter.h"
#include "Connection.h"
#include "FlowReference.h"
#include "MeterTypes.h"
#include "PlantOutbox.h"
#include "UlvUtils.h"

#include <cmath>

namespace {

// The poller turns the raw reading into a flow through the curve itself: the
// uncorrected fraction is computed from the reading, not found by inversion.
bool CurveInPoller(const DeviceSlot& slot)
{
    return MeterTypeOf(slot.TypeCode()).Poll.Flow == FlowFormula::Curve;
}

} // namespace

SlotMeter::SlotMeter(DevManager& dev, int s) : FDev(dev), FSlot(s) {}

CoefficientTables SlotMeter::Tables() const
{
    const CoefficientSet& c = FDev.Coefficients(FSlot);
    return CoefficientTables{c.K, c.Obr, c.Gmax};
}

std::string SlotMeter::FractionFault() const
{
    return CurveInPoller(FDev.Slot(FSlot)) ? std::string() : RunMeter::FractionFault();
}

bool SlotMeter::Read(MeterReading& reading, std::string& error)
{
    const LiveFlow live = ReadLiveFlow(FDev.Driver(FSlot), FDev.Slot(FSlot), FDev.Coefficients(FSlot));
    if (!live.Ok) {
        const ProtocolErrorCode code = DriverLastError(FDev.Driver(FSlot));
        error = code != 0 ? ProtocolErrorText(code) : std::string("нет достоверного значения расхода");
        return false;
    }
    const CoefficientTables t = Tables();
    reading.Flow = live.Flow;
    if (CurveInPoller(FDev.Slot(FSlot))) {
        reading.Fraction = RawReadingFraction(live.G, t);
        return true;
    }
    return UncorrectedFraction(static_cast<double>(live.Flow) / t.Gmax, t, reading.Fraction, error);
}

TableWriter SlotTableWriter(DevManager& dev, CoefficientWriter& writer, int s)
{
    return [&dev, &writer, s](const CoefficientTables& table) {
        TableWrite w;
        CoefficientSet& c = dev.Coefficients(s);
        const CoefficientSet before = c;
        c.K = table.K;
        c.Obr = table.Obr;
        c.Gmax = table.Gmax;
        writer.SetJournalForm("calibration");
        const WriteResult r = writer.WriteCoefficients(s, "Новая таблица точек по результатам калибровки.");
        w.BackupPath = writer.BackupPath();
        w.Differences = writer.Differences();
        switch (r) {
        case WriteResult::Written: w.Outcome = TableWrite::Result::Written; break;
        case WriteResult::Declined: w.Outcome = TableWrite::Result::Declined; break;
        case WriteResult::NotWritable:
        case WriteResult::Failed: w.Outcome = TableWrite::Result::Failed; break;
        }
        if (r == WriteResult::Declined || r == WriteResult::NotWritable) {
            // Nothing was sent: the slot keeps the tables the meter holds.
            c = before;
        }
        if (w.Outcome == TableWrite::Result::Failed) w.Message = writer.Outcome();
        return w;
    };
}

void RecordRunInPlant(const CoefficientWriter& writer, Host& host, const CalibrationResult& result,
                      const DeviceSlot& slot, const std::string& port)
{
    if (writer.PlantBench().empty() || writer.JournalFile().empty()) return;
    std::string error;
    if (!AppendOutbox(OutboxPath(writer.JournalFile()), CalibrationEvent(result, slot, port, writer.PlantBench()), error))
        host.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
}

CalibrationResult CalibrateSlot(DevManager& dev, TClbThread& poller, CoefficientWriter& writer, Host& host, int s,
                                const ReferenceChoice& choice, TulvPort* referencePort, const TimeoutProfile& profile,
                                const CalibrationSettings& settings, const RunEvents& events,
                                const std::string& portControl,
                                const std::function<void(CalibrationRun&)>& started)
{
    CalibrationResult refused;
    refused.Outcome = RunOutcome::Refused;
    refused.VerifyOnly = settings.VerifyOnly;
    const DeviceSlot& slot = dev.Slot(s);
    TulvPort* meterPort = DriverPort(dev.Driver(s));
    if (!HasDriver(dev.Driver(s)) || meterPort == nullptr || !dev.Coefficients(s).ReadDone) {
        refused.Message = "Прибор " + std::to_string(s) + " не подключён или не прочитан";
        return refused;
    }
    TulvPort* port = referencePort != nullptr ? referencePort : meterPort;
    const bool samePort = port == meterPort || SameDevice(port->Name(), meterPort->Name());
    if (const std::string clash = ReferenceClash(choice, slot, samePort, portControl); !clash.empty()) {
        refused.Message = clash;
        return refused;
    }
    // The run holds the line from its first sample to its last.
    PausePolling pause(poller);
    if (!pause.Ready()) {
        refused.Outcome = RunOutcome::MeterFailed;
        refused.Message = TClbThread::HandOverTimeoutText;
        return refused;
    }
    const std::unique_ptr<RunReference> reference = ConnectReference(choice, *port, profile, host, refused.Message);
    if (!reference) {
        refused.Outcome = RunOutcome::MeterFailed;
        return refused;
    }
    SlotMeter meter(dev, s);
    CalibrationRun run(meter, *reference, SlotTableWriter(dev, writer, s), settings, events);
    if (started) started(run);
    const CalibrationResult& result = run.Run();
    // A run that began is part of the meter's history, whatever its end.
    RecordRunInPlant(writer, host, result, slot, meterPort->Name());
    return result;
}
