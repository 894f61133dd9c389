#include "CalibrationRun.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <set>

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A missed frame is not a sample; this many missed in a row end the run.
constexpr int MissedReadsInARow = 3;

bool Positive(double v)
{
    return std::isfinite(v) && v > 0;
}

} // namespace

double ManualFlow(const ManualReading& reading)
{
    if (reading.Flow) return *reading.Flow;
    if (!Positive(reading.Seconds) || !std::isfinite(reading.Volume)) return NaN;
    return reading.Volume / reading.Seconds * 3600.0;
}

RunClock SteadyRunClock()
{
    return [] {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    };
}

bool CheckCalibrationSettings(const CalibrationSettings& s, std::string& error)
{
    if (!CheckGateSettings(s.Gate, error)) return false;
    if (!IsAccuracyClass(s.AccuracyClass)) {
        error = "Класс точности " + std::to_string(s.AccuracyClass) + " не известен: допустимы 1, 2 и 3";
        return false;
    }
    if (s.Qp && !Positive(*s.Qp)) {
        error = "Постоянный расход qp должен быть числом больше нуля";
        return false;
    }
    if (!(std::isfinite(s.ReferenceUncertaintyPct) && s.ReferenceUncertaintyPct >= 0)) {
        error = "Неопределённость образцового прибора должна быть числом не меньше нуля";
        return false;
    }
    for (std::size_t i = 0; i < s.Profile.size(); ++i)
        if (!Positive(s.Profile[i])) {
            error = "Расход точки " + std::to_string(i + 1) + " профиля должен быть числом больше нуля";
            return false;
        }
    return true;
}

const char* RunPassName(RunPass pass)
{
    return pass == RunPass::AsFound ? "as_found" : "as_left";
}

const char* RunOutcomeName(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::NotStarted: return "not_started";
    case RunOutcome::Passed: return "passed";
    case RunOutcome::NotPassed: return "not_passed";
    case RunOutcome::Stopped: return "stopped";
    case RunOutcome::TimedOut: return "timed_out";
    case RunOutcome::Refused: return "refused";
    case RunOutcome::Declined: return "declined";
    case RunOutcome::MeterFailed: return "meter_failed";
    }
    return "?";
}

namespace {

std::string DoubleText(double v)
{
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, r.ptr);
}

} // namespace

std::string SamplesCsv(const CalibrationResult& result)
{
    std::string text = "pass,point,series,time,value\r\n";
    const double start = result.Samples.empty() ? 0.0 : result.Samples.front().Time;
    for (const RunSample& s : result.Samples) {
        text += RunPassName(s.Pass);
        text += ',' + std::to_string(s.Point) + ',';
        text += s.Series == SampleSeriesKind::Reference ? "reference" : "meter";
        text += ',' + DoubleText(s.Time - start) + ',' + DoubleText(s.Value) + "\r\n";
    }
    return text;
}

const PassPoint* CalibrationPoint::Judged(bool verifyOnly) const
{
    const std::optional<PassPoint>& pass = verifyOnly ? AsFound : AsLeft;
    return pass ? &*pass : nullptr;
}

CalibrationRun::CalibrationRun(RunMeter& meter, RunReference& reference, TableWriter writer,
                               CalibrationSettings settings, RunEvents events, RunClock clock)
    : FMeter(meter), FReference(reference), FWriter(std::move(writer)), FSettings(std::move(settings)),
      FEvents(std::move(events)), FClock(std::move(clock))
{
}

bool CalibrationRun::End(RunOutcome outcome, const std::string& message)
{
    FResult.Outcome = outcome;
    FResult.Message = message;
    FEnded = true;
    return false;
}

std::string CalibrationRun::StoppedText(const std::string& where) const
{
    return "Калибровка остановлена (" + where + "): " +
           (FResult.Written ? "новая таблица записана, проверка не закончена" : "прибор не изменён");
}

void CalibrationRun::Keep(RunPass pass, int point, SampleSeriesKind series, double time, double value)
{
    FResult.Samples.push_back({pass, point, series, time, value});
}

bool CalibrationRun::Prepare()
{
    FResult = {};
    FEnded = false;
    FResult.VerifyOnly = FSettings.VerifyOnly;
    FResult.AccuracyClass = FSettings.AccuracyClass;
    FResult.ReferenceUncertaintyPct = FSettings.ReferenceUncertaintyPct;
    FResult.ReferenceDescription = FReference.Description();
    std::string error;
    if (!CheckCalibrationSettings(FSettings, error)) return End(RunOutcome::Refused, error);
    const CoefficientTables before = FMeter.Tables();
    FResult.Before = before;
    if (!Positive(before.Gmax)) return End(RunOutcome::Refused, "Gmax прибора не число больше нуля: калибровка невозможна");
    FResult.Qp = FSettings.Qp ? *FSettings.Qp : before.Gmax;
    FTargets.clear();
    if (!FSettings.Profile.empty()) {
        FTargets = FSettings.Profile;
    } else if (!TargetsFromTable(before, FTargets, error)) {
        return End(RunOutcome::Refused, error);
    }
    // The current correction must be invertible for the meter's fraction to be found.
    if (const std::string fault = FMeter.FractionFault(); !fault.empty())
        return End(RunOutcome::Refused, "Таблица точек прибора не обращается: " + fault);
    for (double t : FTargets) {
        CalibrationPoint p;
        p.Target = t;
        p.K = p.Obr = NaN;
        FResult.Points.push_back(p);
    }
    FResult.Outcome = RunOutcome::NotStarted;
    return true;
}

bool CalibrationRun::MeasurePass(RunPass pass)
{
    if (FEnded) return false;
    for (std::size_t i = 0; i < FTargets.size(); ++i)
        if (!MeasurePoint(pass, static_cast<int>(i))) return false;
    if (FEvents.PassFinished) FEvents.PassFinished(pass, FResult);
    return true;
}

bool CalibrationRun::MeasurePoint(RunPass pass, int index)
{
    const int point = index + 1;
    const double target = FTargets[static_cast<std::size_t>(index)];
    const std::string where = "точка " + std::to_string(point);
    StabilityGate gate(FSettings.Gate);
    gate.Begin(target, FClock());
    FTakeByHand = false;
    FSkip = false;
    std::vector<Sample> fractions;
    const bool manual = FReference.Manual();
    int missedMeter = 0, missedReference = 0;
    std::string error;
    for (;;) {
        if (FStop) return End(RunOutcome::Stopped, StoppedText(where));
        if (FSkip.exchange(false)) return true;

        MeterReading m;
        if (FMeter.Read(m, error)) {
            missedMeter = 0;
            const double t = FClock();
            gate.AddMeter(t, m.Flow);
            fractions.push_back({t, m.Fraction});
            Keep(pass, point, SampleSeriesKind::Meter, t, m.Flow);
            // Typed in by hand: the reference stands at the target while the
            // meter settles; its value comes once the meter is steady.
            if (manual) gate.AddReference(t, target);
        } else if (++missedMeter >= MissedReadsInARow) {
            return End(RunOutcome::MeterFailed, "Поверяемый прибор не отвечает (" + where + "): " + error);
        } else {
            gate.Advance(FClock());
        }
        if (!manual) {
            double flow = 0;
            if (FReference.Read(flow, error)) {
                missedReference = 0;
                const double t = FClock();
                gate.AddReference(t, flow);
                Keep(pass, point, SampleSeriesKind::Reference, t, flow);
            } else if (++missedReference >= MissedReadsInARow) {
                return End(RunOutcome::MeterFailed, "Образцовый прибор не отвечает (" + where + "): " + error);
            } else {
                gate.Advance(FClock());
            }
        }
        if (FEvents.Figures) FEvents.Figures(pass, point, gate.Figures());
        if (FTakeByHand.exchange(false)) gate.TakeByHand();
        if (gate.Taken()) break;
        if (gate.State() == GateState::TimedOut) {
            FResult.TimedOutPoint = point;
            FResult.TimedOutFigures = gate.Figures();
            return End(RunOutcome::TimedOut, GateTimeoutText(point, gate.Figures(), FSettings.Gate));
        }
    }

    const TakenPoint& taken = *gate.Taken();
    PassPoint p;
    p.Target = target;
    p.ByHand = taken.ByHand;
    p.Meter = taken.Meter;
    std::set<double> times;
    for (const Sample& s : taken.Meter.Samples) times.insert(s.Time);
    std::vector<Sample> window;
    for (const Sample& s : fractions)
        if (times.count(s.Time)) window.push_back(s);
    p.MeterFraction = SeriesOf(std::move(window));
    if (manual) {
        if (!FEvents.AskReference)
            return End(RunOutcome::Refused, "Образцовый расход вводится вручную, но спросить его некому");
        const auto reading = FEvents.AskReference(point, target, p.Meter.Stats.Mean);
        if (!reading) return End(RunOutcome::Stopped, StoppedText(where));
        const double flow = ManualFlow(*reading);
        if (!Positive(flow))
            return End(RunOutcome::Refused, "Образцовый расход (" + where + ") должен быть числом больше нуля");
        const double t = FClock();
        Keep(pass, point, SampleSeriesKind::Reference, t, flow);
        p.Reference = SeriesOf({{t, flow}});
    } else {
        p.Reference = taken.Reference;
    }
    const double ref = p.Reference.Stats.Mean;
    p.ErrorPct = ErrorPct(p.Meter.Stats.Mean, ref);
    p.MpePct = MaxPermissibleErrorPct(FSettings.AccuracyClass, ref, FResult.Qp);
    p.UPct = ExpandedUncertaintyPct(FSettings.ReferenceUncertaintyPct, p.Reference.Stats, p.Meter.Stats);
    p.PointVerdict = ::Judge(p.ErrorPct, p.UPct, p.MpePct);
    CalibrationPoint& cp = FResult.Points[static_cast<std::size_t>(index)];
    (pass == RunPass::AsFound ? cp.AsFound : cp.AsLeft) = p;
    if (FEvents.PointTaken) FEvents.PointTaken(pass, point, p);
    return true;
}

bool CalibrationRun::MakeTable()
{
    if (FEnded) return false;
    // The table's points rise with the flow, whatever order the points were run in.
    std::vector<std::size_t> order(FResult.Points.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return FResult.Points[a].Target < FResult.Points[b].Target; });
    std::vector<MeasuredPoint> measured;
    for (std::size_t i : order) {
        const CalibrationPoint& p = FResult.Points[i];
        if (!p.AsFound)
            return End(RunOutcome::Refused,
                       "Точка " + std::to_string(i + 1) + " пропущена: новая таблица не составлена, прибор не изменён");
        measured.push_back({p.AsFound->MeterFraction.Stats.Mean, p.AsFound->Reference.Stats.Mean});
    }
    CoefficientTables table;
    std::string error;
    if (!NewPointTable(*FResult.Before, measured, table, error))
        return End(RunOutcome::Refused, "Новая таблица не составлена, прибор не изменён: " + error);
    FResult.NewTable = table;
    for (std::size_t j = 0; j < order.size(); ++j) {
        FResult.Points[order[j]].K = table.K[j + 2];
        FResult.Points[order[j]].Obr = table.Obr[j + 2];
    }
    return true;
}

bool CalibrationRun::WriteTable()
{
    if (FEnded) return false;
    if (FStop) return End(RunOutcome::Stopped, "Калибровка остановлена перед записью: прибор не изменён");
    if (!FResult.NewTable) return End(RunOutcome::Refused, "Новая таблица не составлена: прибор не изменён");
    const TableWrite w = FWriter(*FResult.NewTable);
    FResult.BackupPath = w.BackupPath;
    FResult.Differences = w.Differences;
    switch (w.Outcome) {
    case TableWrite::Result::Written: FResult.Written = true; return true;
    case TableWrite::Result::Declined:
        return End(RunOutcome::Declined, "Запись не подтверждена: прибор не изменён");
    case TableWrite::Result::Failed: break;
    }
    return End(RunOutcome::MeterFailed, w.Message.empty() ? std::string("Ошибка записи в прибор") : w.Message);
}

void CalibrationRun::Judge()
{
    if (FEnded) return;
    bool all = !FResult.Points.empty();
    for (const CalibrationPoint& p : FResult.Points) {
        const PassPoint* judged = p.Judged(FSettings.VerifyOnly);
        all = all && judged && judged->PointVerdict == Verdict::Pass;
    }
    FResult.MeterPassed = all;
    FResult.Outcome = all ? RunOutcome::Passed : RunOutcome::NotPassed;
    FEnded = true;
}

const CalibrationResult& CalibrationRun::Run()
{
    if (Prepare() && MeasurePass(RunPass::AsFound)) {
        if (FSettings.VerifyOnly) {
            Judge();
        } else if (MakeTable() && WriteTable() && MeasurePass(RunPass::AsLeft)) {
            Judge();
        }
    }
    return FResult;
}
