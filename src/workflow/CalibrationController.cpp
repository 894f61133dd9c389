#include "CalibrationController.h"

#include "ClbThread.h"
#include "CoefficientWriter.h"
#include "DevManager.h"
#include "FlowSampler.h"
#include "MainController.h"
#include "MeterTypes.h"
#include "NumberText.h"
#include "SlotDrivers.h"
#include "UlvComPort.h"

#include <cmath>
#include <regex>
#include <sstream>

// --- The settings as typed ----------------------------------------------------------

namespace {

// A figure typed in a box: a decimal comma is as good as a point.
bool Number(const std::string& text, const char* box, double& v, std::string& error)
{
    std::string t = text;
    if (t.find('.') == std::string::npos)
        for (char& c : t)
            if (c == ',') c = '.';
    if (ParseNumber(t, v) && std::isfinite(v)) return true;
    error = std::string(box) + ": нужно число, задано \"" + text + "\"";
    return false;
}

// TYPE:ADDR[:CH][@SERIAL] as the slot of the reference meter.
bool ReferenceSlot(const std::string& text, DeviceSlot& slot, std::string& error)
{
    static const std::regex re(R"((\d{1,3}):(\d{1,3})(?::(\d))?(?:@(\d{1,8}))?)");
    std::smatch m;
    const std::string what = "Образцовый прибор " + text + ": ";
    if (!std::regex_match(text, m, re)) {
        error = what + "нужно ТИП:АДРЕС[:КАНАЛ], modbus:АДРЕС[:МАСШТАБ] или manual";
        return false;
    }
    const int type = std::stoi(m[1]);
    const int address = std::stoi(m[2]);
    const int channel = m[3].matched ? std::stoi(m[3]) : 1;
    if (type < 1 || type > DeviceTypeLast) error = what + "код типа 1.." + std::to_string(DeviceTypeLast);
    else if (address > 127) error = what + "сетевой адрес 0..127";
    else if (channel != 1 && channel != 2) error = what + "канал 1 или 2";
    if (!error.empty()) return false;
    slot = DeviceSlot{};
    slot.SetTypeCode(static_cast<std::uint8_t>(type));
    slot.SetNetAddress(static_cast<std::uint8_t>(address));
    slot.SetChannel(static_cast<std::uint8_t>(channel));
    slot.SetSerialText("-");
    if (RelayAddressed(static_cast<DeviceTypeCode>(type))) {
        const unsigned long serial = m[4].matched ? std::stoul(m[4]) : 0;
        if (serial < 44400000 || serial > 44499999) {
            error = what + "типам через ретранслятор нужен @СЕРИЙНЫЙ_НОМЕР 44400000..44499999";
            return false;
        }
        slot.SetRelayAddress(static_cast<std::uint32_t>(serial));
    } else if (m[4].matched) {
        error = what + "@СЕРИЙНЫЙ_НОМЕР только для приборов через ретранслятор";
        return false;
    }
    return true;
}

std::string Trimmed(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

} // namespace

bool ReadCalibrationForm(const CalibrationFormTexts& texts, const DeviceSlot& meter, const PortChoice& line,
                         const Settings& settings, CalibrationSettings& calibration, ReferenceChoice& reference,
                         std::string& error)
{
    error.clear();
    CalibrationSettings s;
    ReferenceChoice r;
    const std::string ref = Trimmed(texts.Reference);
    if (ref.empty()) {
        error = "Укажите образцовый прибор: ТИП:АДРЕС[:КАНАЛ], modbus:АДРЕС[:МАСШТАБ] или manual";
        return false;
    }
    if (!ParseReferenceWord(ref, r, error)) {
        if (!error.empty()) return false;
        r.Source = ReferenceChoice::Kind::Meter;
        if (!ReferenceSlot(ref, r.Slot, error)) return false;
    }
    if (const std::string port = Trimmed(texts.ReferencePort); !port.empty()) {
        if (!NameReferencePort(r, port, line, settings, error)) {
            error = "Порт образцового прибора " + port + ": " + error;
            return false;
        }
        if (SameDevice(r.Port->Path, line.Path)) {
            error = "Порт образцового прибора " + port + " — это порт поверяемого прибора. Образцовый на той же линии: " +
                    SameLineEntry + ", на втором адаптере: его порт";
            return false;
        }
    }
    if (texts.AccuracyClass < 1 || texts.AccuracyClass > 3) {
        error = "Класс точности: 1, 2 или 3";
        return false;
    }
    s.AccuracyClass = texts.AccuracyClass;
    if (const std::string qp = Trimmed(texts.Qp); !qp.empty()) {
        double v = 0;
        if (!Number(qp, "qp", v, error)) return false;
        if (!(v > 0)) {
            error = "qp: нужен расход больше нуля";
            return false;
        }
        s.Qp = v;
    }
    if (!Number(Trimmed(texts.Tolerance), "Допуск", s.Gate.TolerancePct, error) ||
        !Number(Trimmed(texts.Settle), "Установление", s.Gate.SettleS, error) ||
        !Number(Trimmed(texts.Window), "Окно", s.Gate.WindowS, error) ||
        !Number(Trimmed(texts.Cv), "КВ", s.Gate.CvPct, error) ||
        !Number(Trimmed(texts.PointTimeout), "Время на точку", s.Gate.PointTimeoutS, error))
        return false;
    if (!CheckCalibrationSettings(s, error)) return false;
    if (const std::string clash = ReferenceClash(r, meter, ReferenceOnLine(r, line.Path), ReferencePortControl);
        !clash.empty()) {
        error = clash;
        return false;
    }
    calibration = s;
    reference = r;
    return true;
}

std::vector<ReferencePortEntry> ReferencePortEntries(const PortList& ports)
{
    std::vector<ReferencePortEntry> list = {{SameLineEntry, "", "Образцовый прибор на линии поверяемого"}};
    for (const PortListEntry& e : ports.Entries)
        list.push_back({e.Text, e.ComNumber != 0 ? "COM" + std::to_string(e.ComNumber) : e.Path, e.Path});
    return list;
}

ManualEntry ReadManualEntry(bool volumeAndTime, const std::string& flow, const std::string& volume,
                            const std::string& seconds)
{
    ManualEntry e;
    double v = 0;
    if (!volumeAndTime) {
        if (!Number(Trimmed(flow), "Расход", v, e.Fault)) return e;
        e.Reading.Flow = v;
    } else if (!Number(Trimmed(volume), "Объём", e.Reading.Volume, e.Fault) ||
               !Number(Trimmed(seconds), "Время", e.Reading.Seconds, e.Fault)) {
        return e;
    } else if (!(e.Reading.Volume > 0)) {
        e.Fault = "Объём: нужно число больше нуля";
        return e;
    } else if (!(e.Reading.Seconds > 0)) {
        e.Fault = "Время: нужно число секунд больше нуля";
        return e;
    }
    const double q = ManualFlow(e.Reading);
    if (!std::isfinite(q) || !(q > 0)) {
        e.Fault = volumeAndTime ? "Объём и время не дают расхода" : "Расход: нужно число больше нуля";
        return e;
    }
    e.Flow = q;
    return e;
}

// --- Stages and buttons -------------------------------------------------------------

CalibrationButtons ButtonsOf(CalibrationStage stage, bool connected, bool operationBusy)
{
    CalibrationButtons b;
    using S = CalibrationStage;
    const bool running = stage == S::Measuring || stage == S::Writing;
    b.Stop = running;
    b.ByHand = b.Skip = stage == S::Measuring;
    // Nothing new starts without the line, or while the port is another operation's.
    if (!connected || operationBusy || running) {
        b.Print = stage == S::Done;
        return b;
    }
    b.Settings = stage == S::Idle || stage == S::Done || stage == S::TableMade;
    b.Start = stage != S::Written;
    b.Write = stage == S::TableMade;
    // Written: the as-left pass; Idle or Done: a verification pass alone. A
    // new table not yet written is written or given up by a new start first.
    b.Verify = stage == S::Written || stage == S::Idle || stage == S::Done;
    b.Print = stage == S::Done;
    return b;
}

// --- What the window shows -----------------------------------------------------------

std::string CellNumber(double v, int digits)
{
    if (!std::isfinite(v)) return {};
    std::ostringstream s;
    s.precision(digits);
    s << v;
    std::string text = s.str();
    for (char& c : text)
        if (c == '.') c = ',';
    return text;
}

StabilityMark MarkOf(const std::optional<GateFigures>& figures)
{
    StabilityMark m;
    if (!figures) {
        m.Colour = MarkGrey;
        m.Word = "нет точки";
        return m;
    }
    const GateFigures& f = *figures;
    switch (f.State) {
    case GateState::NotAtPoint: m.Colour = MarkGrey; m.Word = "нет точки"; break;
    case GateState::Settling: m.Colour = MarkAmber; m.Word = "установление"; break;
    case GateState::Stable: m.Colour = MarkGreen; m.Word = "стабильно"; break;
    case GateState::TimedOut: m.Colour = MarkRed; m.Word = "не установился"; break;
    }
    auto cv = [](double v) { return std::isfinite(v) ? CellNumber(v, 2) + " %" : std::string("—"); };
    m.Figures = "КВ обр. " + cv(f.ReferenceCvPct) + "   КВ пр. " + cv(f.MeterCvPct) + "   в допуске " +
                CellNumber(f.TimeInToleranceS, 3) + " с";
    return m;
}

const std::array<const char*, PointColumns>& PointColumnTitles()
{
    static const std::array<const char*, PointColumns> titles = {
        "Цель", "Образцовый", "Прибор", "E до, %", "K", "Obr", "E после, %", "МДП, %", "U, %", "Заключение"};
    return titles;
}

std::vector<PointRow> PointRows(const CalibrationResult& result)
{
    std::vector<PointRow> rows;
    for (const CalibrationPoint& p : result.Points) {
        PointRow r;
        r.Cells[0] = CellNumber(p.Target);
        const PassPoint* latest = p.AsLeft ? &*p.AsLeft : p.AsFound ? &*p.AsFound : nullptr;
        if (latest) {
            r.Cells[1] = CellNumber(latest->Reference.Stats.Mean, 5);
            r.Cells[2] = CellNumber(latest->Meter.Stats.Mean, 5);
        }
        if (p.AsFound) r.Cells[3] = CellNumber(p.AsFound->ErrorPct, 3);
        // The table is made only when every point has its as-found figures.
        if (result.NewTable && std::isfinite(p.K)) {
            r.Cells[4] = CellNumber(static_cast<float>(p.K), 6);
            r.Cells[5] = CellNumber(static_cast<float>(p.Obr), 6);
        }
        if (p.AsLeft) r.Cells[6] = CellNumber(p.AsLeft->ErrorPct, 3);
        // MPE and U belong to the verdict: shown once the point is judged.
        const bool judged = result.Outcome == RunOutcome::Passed || result.Outcome == RunOutcome::NotPassed;
        if (const PassPoint* j = judged ? p.Judged(result.VerifyOnly) : nullptr) {
            r.Cells[7] = "±" + CellNumber(j->MpePct, 3);
            r.Cells[8] = CellNumber(j->UPct, 2);
            r.Cells[9] = VerdictText(j->PointVerdict);
            r.RowVerdict = j->PointVerdict;
        }
        rows.push_back(r);
    }
    return rows;
}

// --- The session ----------------------------------------------------------------------

// The meter and the reference as the run reads them, every reading kept for the trend.
class CalibrationController::RecordingMeter : public RunMeter {
public:
    RecordingMeter(CalibrationController& owner, DevManager& dev, int slot) : FOwner(owner), FMeter(dev, slot) {}
    CoefficientTables Tables() const override { return FMeter.Tables(); }
    std::string FractionFault() const override { return FMeter.FractionFault(); }
    bool Read(MeterReading& reading, std::string& error) override
    {
        if (!FMeter.Read(reading, error)) return false;
        FOwner.Record(true, reading.Flow);
        return true;
    }

private:
    CalibrationController& FOwner;
    SlotMeter FMeter;
};

class CalibrationController::RecordingReference : public RunReference {
public:
    RecordingReference(CalibrationController& owner, RunReference& reference) : FOwner(owner), FReference(reference) {}
    std::string Description() const override { return FReference.Description(); }
    bool Manual() const override { return FReference.Manual(); }
    bool Read(double& flow, std::string& error) override
    {
        if (!FReference.Read(flow, error)) return false;
        FOwner.Record(false, flow);
        return true;
    }

private:
    CalibrationController& FOwner;
    RunReference& FReference;
};

CalibrationController::CalibrationController(DevManager& dev, TClbThread& poller, CoefficientWriter& writer, Host& host,
                                             TimeoutProfile profile, int slot, CertificateWriter certificate)
    : FDev(dev), FPoller(poller), FWriter(writer), FHost(host), FProfile(profile), FSlot(slot),
      FCertificate(std::move(certificate)), FClock(SteadyRunClock())
{
}

CalibrationController::~CalibrationController() = default;

CalibrationStage CalibrationController::Stage() const
{
    std::lock_guard lock(FLock);
    return FStage;
}

bool CalibrationController::Busy() const
{
    std::lock_guard lock(FLock);
    return FBusy;
}

std::string CalibrationController::Message() const
{
    std::lock_guard lock(FLock);
    return FMessage;
}

CalibrationResult CalibrationController::Snapshot() const
{
    std::lock_guard lock(FLock);
    return FSnapshot;
}

std::optional<GateFigures> CalibrationController::CurrentFigures() const
{
    std::lock_guard lock(FLock);
    return FFigures;
}

int CalibrationController::CurrentPoint() const
{
    std::lock_guard lock(FLock);
    return FCurrentPoint;
}

TrendView CalibrationController::Trend() const
{
    std::lock_guard lock(FLock);
    TrendView v;
    v.Meter.assign(FMeterTrend.begin(), FMeterTrend.end());
    v.Reference.assign(FReferenceTrend.begin(), FReferenceTrend.end());
    v.Now = FNow;
    v.Figures = FFigures;
    v.WindowS = FRun ? FRun->Settings().Gate.WindowS : 0;
    v.TolerancePct = FRun ? FRun->Settings().Gate.TolerancePct : 0;
    return v;
}

void CalibrationController::Notify() const
{
    if (Changed) Changed();
}

void CalibrationController::Record(bool meter, double flow)
{
    const double t = FClock();
    {
        std::lock_guard lock(FLock);
        std::deque<TrendSample>& q = meter ? FMeterTrend : FReferenceTrend;
        q.push_back({t, flow});
        FNow = t;
        for (auto* d : {&FMeterTrend, &FReferenceTrend})
            while (!d->empty() && d->front().Time < t - TrendSpanS) d->pop_front();
    }
}

void CalibrationController::Stop()
{
    std::lock_guard lock(FLock);
    FStopAsked = true;
    if (FRun) FRun->Stop();
}

void CalibrationController::TakeByHand()
{
    std::lock_guard lock(FLock);
    if (FRun) FRun->TakeByHand();
}

void CalibrationController::Skip()
{
    std::lock_guard lock(FLock);
    if (FRun) FRun->Skip();
}

bool CalibrationController::BeginStep(CalibrationStage stage)
{
    {
        std::lock_guard lock(FLock);
        FBusy = true;
        FStage = stage;
        FMessage.clear();
        FStopAsked = false;
    }
    Notify();
    return true;
}

void CalibrationController::EndStep(CalibrationStage stage, const std::string& message)
{
    // The reference's own port stays open only while the session may go on with its run.
    if (FReferencePort && (stage == CalibrationStage::Idle || stage == CalibrationStage::Done)) FReferencePort->Close();
    {
        std::lock_guard lock(FLock);
        if (FRun) FSnapshot = FRun->Result();
        FBusy = false;
        FStage = stage;
        FMessage = message;
        FFigures.reset();
        FCurrentPoint = 0;
    }
    Notify();
}

RunEvents CalibrationController::Events()
{
    RunEvents e;
    e.Figures = [this](RunPass, int point, const GateFigures& f) {
        {
            std::lock_guard lock(FLock);
            FFigures = f;
            FCurrentPoint = point;
        }
        Notify();
    };
    e.PointTaken = [this](RunPass pass, int point, const PassPoint& p) {
        {
            std::lock_guard lock(FLock);
            if (point >= 1 && point <= static_cast<int>(FSnapshot.Points.size())) {
                CalibrationPoint& row = FSnapshot.Points[static_cast<std::size_t>(point - 1)];
                (pass == RunPass::AsFound ? row.AsFound : row.AsLeft) = p;
            }
        }
        Notify();
    };
    e.AskReference = [this](int point, double target, double meterMean) -> std::optional<ManualReading> {
        if (!AskReference) return std::nullopt;
        return AskReference(point, target, meterMean);
    };
    return e;
}

// A new run on the meter against the reference (the poller paused by the caller).
bool CalibrationController::Connect(const CalibrationSettings& settings, const ReferenceChoice& choice)
{
    const DeviceSlot& slot = FDev.Slot(FSlot);
    TulvPort* port = DriverPort(FDev.Driver(FSlot));
    std::string message;
    if (!HasDriver(FDev.Driver(FSlot)) || port == nullptr || !FDev.Coefficients(FSlot).ReadDone)
        message = "Прибор " + std::to_string(FSlot) + " не подключён или не прочитан";
    else
        message = ReferenceClash(choice, slot, ReferenceOnLine(choice, port->Name()), ReferencePortControl);
    // The run before goes with the port its reference held.
    {
        std::lock_guard lock(FLock);
        FRun.reset();
        FRecordingReference.reset();
        FReference.reset();
    }
    FReferencePort.reset();
    std::unique_ptr<TulvComPort> ownPort;
    if (message.empty() && choice.Source != ReferenceChoice::Kind::Manual && !ReferenceOnLine(choice, port->Name())) {
        ownPort = std::make_unique<TulvComPort>();
        if (!OpenReferencePort(*ownPort, choice, message)) ownPort.reset();
    }
    std::unique_ptr<RunReference> reference;
    if (message.empty()) reference = ConnectReference(choice, ownPort ? *ownPort : *port, FProfile, FHost, message);
    if (!message.empty()) {
        {
            std::lock_guard lock(FLock);
            FSnapshot = {};
            FSnapshot.Outcome = RunOutcome::Refused;
        }
        EndStep(CalibrationStage::Idle, message);
        return false;
    }
    FReferencePort = std::move(ownPort);
    std::lock_guard lock(FLock);
    FReference = std::move(reference);
    FRecordingReference = std::make_unique<RecordingReference>(*this, *FReference);
    FMeter = std::make_unique<RecordingMeter>(*this, FDev, FSlot);
    FRun = std::make_unique<CalibrationRun>(*FMeter, *FRecordingReference, SlotTableWriter(FDev, FWriter, FSlot),
                                            settings, Events(), FClock);
    if (FStopAsked) FRun->Stop();
    FMeterTrend.clear();
    FReferenceTrend.clear();
    return true;
}

bool CalibrationController::StartCalibration(const CalibrationSettings& settings, const ReferenceChoice& reference)
{
    BeginStep(CalibrationStage::Measuring);
    PausePolling pause(FPoller);
    if (!pause.Ready()) return EndStep(CalibrationStage::Idle, TClbThread::HandOverTimeoutText), false;
    CalibrationSettings s = settings;
    s.VerifyOnly = false;
    if (!Connect(s, reference)) return false;
    const bool prepared = FRun->Prepare();
    {
        std::lock_guard lock(FLock);
        FSnapshot = FRun->Result();
    }
    if (!prepared || !FRun->MeasurePass(RunPass::AsFound) || !FRun->MakeTable())
        return EndStep(CalibrationStage::Idle, FRun->Result().Message), false;
    EndStep(CalibrationStage::TableMade, "Новая таблица составлена: её можно записать в прибор");
    return true;
}

bool CalibrationController::WriteTable()
{
    {
        std::lock_guard lock(FLock);
        if (FStage != CalibrationStage::TableMade || !FRun) return false;
    }
    BeginStep(CalibrationStage::Writing);
    PausePolling pause(FPoller);
    if (!pause.Ready()) return EndStep(CalibrationStage::TableMade, TClbThread::HandOverTimeoutText), false;
    if (!FRun->WriteTable()) return EndStep(CalibrationStage::Idle, FRun->Result().Message), false;
    std::string message = "Новая таблица записана";
    if (!FRun->Result().BackupPath.empty())
        message += "; прежние коэффициенты сохранены в " + FRun->Result().BackupPath;
    EndStep(CalibrationStage::Written, message);
    return true;
}

bool CalibrationController::Verify(const CalibrationSettings& settings, const ReferenceChoice& reference)
{
    const bool asLeft = Stage() == CalibrationStage::Written;
    BeginStep(CalibrationStage::Measuring);
    PausePolling pause(FPoller);
    if (!pause.Ready())
        return EndStep(asLeft ? CalibrationStage::Written : CalibrationStage::Idle, TClbThread::HandOverTimeoutText),
               false;
    if (asLeft) {
        if (!FRun->MeasurePass(RunPass::AsLeft)) return EndStep(CalibrationStage::Idle, FRun->Result().Message), false;
    } else {
        CalibrationSettings s = settings;
        s.VerifyOnly = true;
        if (!Connect(s, reference)) return false;
        const bool prepared = FRun->Prepare();
        {
            std::lock_guard lock(FLock);
            FSnapshot = FRun->Result();
        }
        if (!prepared || !FRun->MeasurePass(RunPass::AsFound))
            return EndStep(CalibrationStage::Idle, FRun->Result().Message), false;
    }
    FRun->Judge();
    const CalibrationResult& r = FRun->Result();
    TulvPort* port = HasDriver(FDev.Driver(FSlot)) ? DriverPort(FDev.Driver(FSlot)) : nullptr;
    RecordRunInPlant(FWriter, FHost, r, FDev.Slot(FSlot), port ? port->Name() : std::string());
    EndStep(CalibrationStage::Done, std::string("Прибор ") +
                                        (r.MeterPassed ? VerdictText(Verdict::Pass) : "не прошёл проверку") +
                                        (r.VerifyOnly ? " (только проверка)" : ""));
    return true;
}

bool CalibrationController::Certificate(SheetDocument& page, std::string& error) const
{
    if (!FCertificate) {
        error = "Печать свидетельства о калибровке недоступна";
        return false;
    }
    const CalibrationResult r = Snapshot();
    if (r.Outcome != RunOutcome::Passed && r.Outcome != RunOutcome::NotPassed) {
        error = "Свидетельство составляется после проверки";
        return false;
    }
    page = FCertificate(r, FDev.Slot(FSlot));
    return true;
}
