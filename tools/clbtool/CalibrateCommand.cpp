// clbtool calibrate N --reference ...: a calibration of slot N on the flow
// stand against a reference: as-found pass, new point table, guarded write,
// as-left pass, verdicts against the accuracy class; or a verification pass
// alone. Progress per point on the error stream; Ctrl-C stops the run
// between two samples (before the write nothing is changed).
#include "Commands.h"

#include "AtomicFile.h"
#include "CalibrationCertificate.h"
#include "CoefficientActions.h"
#include "FlowReference.h"
#include "FlowSampler.h"
#include "NumberText.h"
#include "StabilityGate.h"
#include "StopSignals.h"
#include "SystemText.h"
#include "ToolContext.h"

#include <cmath>
#include <iostream>
#include <sstream>

using nlohmann::json;

namespace {

// The run's settings and reference, read from the command line before the line is opened.
struct CalibrateArgs {
    CalibrationSettings settings;
    ReferenceChoice reference;
    CertificateTargets certificate;
    std::optional<std::string> samples;
};

double NumberOption(const Options& o, const std::string& name)
{
    double v = 0;
    const std::string text = *o.Value(name);
    if (!ParseNumber(text, v)) throw UsageError{name + ": нужно число, задано \"" + text + "\""};
    return v;
}

CalibrateArgs ReadArgs(ToolContext& c)
{
    const Options& o = c.options;
    CalibrateArgs a;
    CalibrationSettings& s = a.settings;
    if (!o.Has("--reference")) throw UsageError{"calibrate: укажите образцовый прибор (--reference)"};
    const std::string ref = *o.Value("--reference");
    std::string error;
    if (!ParseReferenceWord(ref, a.reference, error)) {
        if (!error.empty()) throw UsageError{error};
        a.reference.Source = ReferenceChoice::Kind::Meter;
        a.reference.Slot = ParseSlot(ref);
    }
    if (o.Has("--reference-port") &&
        !NameReferencePort(a.reference, *o.Value("--reference-port"), c.choice, c.settings, error))
        throw UsageError{"--reference-port: " + error};
    if (o.Has("--reference-uncertainty")) s.ReferenceUncertaintyPct = NumberOption(o, "--reference-uncertainty");
    if (o.Has("--class")) {
        const std::string v = *o.Value("--class");
        if (v != "1" && v != "2" && v != "3") throw UsageError{"--class: класс точности 1, 2 или 3"};
        s.AccuracyClass = v[0] - '0';
    }
    if (o.Has("--qp")) s.Qp = NumberOption(o, "--qp");
    if (o.Has("--tolerance")) s.Gate.TolerancePct = NumberOption(o, "--tolerance");
    if (o.Has("--settle")) s.Gate.SettleS = NumberOption(o, "--settle");
    if (o.Has("--window")) s.Gate.WindowS = NumberOption(o, "--window");
    if (o.Has("--cv")) s.Gate.CvPct = NumberOption(o, "--cv");
    if (o.Has("--point-timeout")) s.Gate.PointTimeoutS = NumberOption(o, "--point-timeout");
    if (o.Has("--profile") && !ReadProfile(*o.Value("--profile"), s.Profile, error))
        throw UsageError{RussianSystemTexts(error)};
    s.VerifyOnly = o.Has("--verify-only");
    if (!CheckCalibrationSettings(s, error)) throw UsageError{error};
    if (o.Has("--certificate")) a.certificate.Pdf = *o.Value("--certificate");
    if (o.Has("--certificate-printer")) {
        a.certificate.Printer = *o.Value("--certificate-printer");
        if (a.certificate.Printer->empty()) throw UsageError{"--certificate-printer: укажите очередь печати"};
    }
    if (o.Has("--samples")) a.samples = *o.Value("--samples");
    // The meter's own address on the same line is told before anything goes out.
    const std::string clash =
        ReferenceClash(a.reference, c.dev.Slot(o.slot), ReferenceOnLine(a.reference, c.choice.Path), "--reference-port");
    if (!clash.empty()) throw UsageError{clash};
    // Whether the certificate can be had is found out before the run may
    // write into the meter.
    if (!CertificateTargetsUsable(a.certificate, error)) throw UsageError{error};
    return a;
}

std::string Figure(double v, int digits = 4)
{
    if (!std::isfinite(v)) return "-";
    std::ostringstream s;
    s.precision(digits);
    s << v;
    return s.str();
}

json Value(double v)
{
    return std::isfinite(v) ? json(v) : json(nullptr);
}

const char* PassText(RunPass pass)
{
    return pass == RunPass::AsFound ? "до записи" : "после записи";
}

json PointJson(const CalibrationPoint& p, bool verifyOnly)
{
    json j = {{"target", p.Target}};
    const PassPoint* found = p.AsFound ? &*p.AsFound : nullptr;
    const PassPoint* judged = p.Judged(verifyOnly);
    j["reference"] = found ? Value(found->Reference.Stats.Mean) : json(nullptr);
    j["meter"] = found ? Value(found->Meter.Stats.Mean) : json(nullptr);
    j["n"] = found ? json(found->Meter.Stats.N) : json(nullptr);
    j["cv_pct"] = found ? Value(std::fmax(found->Reference.Stats.N > 1 ? found->Reference.Stats.CvPct : 0,
                                          found->Meter.Stats.CvPct))
                        : json(nullptr);
    j["error_as_found_pct"] = found ? Value(found->ErrorPct) : json(nullptr);
    j["k"] = Value(p.K);
    j["obr"] = Value(p.Obr);
    j["error_as_left_pct"] = p.AsLeft ? Value(p.AsLeft->ErrorPct) : json(nullptr);
    j["mpe_pct"] = judged ? Value(judged->MpePct) : json(nullptr);
    j["u_pct"] = judged ? Value(judged->UPct) : json(nullptr);
    j["verdict"] = judged ? json(VerdictText(judged->PointVerdict)) : json(nullptr);
    if (p.AsLeft) {
        j["reference_as_left"] = Value(p.AsLeft->Reference.Stats.Mean);
        j["meter_as_left"] = Value(p.AsLeft->Meter.Stats.Mean);
    }
    return j;
}

// The verdict of the meter: "годен" when every point passes, "не годен" when
// one fails, else "не определено"; nothing when no pass was judged.
json RunVerdict(const CalibrationResult& r)
{
    if (r.Outcome != RunOutcome::Passed && r.Outcome != RunOutcome::NotPassed) return nullptr;
    if (r.MeterPassed) return VerdictText(Verdict::Pass);
    for (const CalibrationPoint& p : r.Points) {
        const PassPoint* judged = p.Judged(r.VerifyOnly);
        if (judged && judged->PointVerdict == Verdict::Fail) return VerdictText(Verdict::Fail);
    }
    return VerdictText(Verdict::Undetermined);
}

std::optional<ManualReading> AskOnConsole(std::ostream& err, int point, double target, double meterMean)
{
    err << "точка " << point << ": цель " << Figure(target) << ", прибор показывает " << Figure(meterMean)
        << ". Введите образцовый расход, или объём и время в секундах через пробел (пустая строка - остановить): "
        << std::flush;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::vector<std::string> parts;
        for (std::string w; words >> w;) parts.push_back(w);
        if (parts.empty()) return std::nullopt;
        double a = 0, b = 0;
        ManualReading m;
        if (parts.size() == 1 && ParseNumber(parts[0], a) && a > 0) {
            m.Flow = a;
            return m;
        }
        if (parts.size() == 2 && ParseNumber(parts[0], a) && ParseNumber(parts[1], b) && a > 0 && b > 0) {
            m.Volume = a;
            m.Seconds = b;
            return m;
        }
        err << "нужно число больше нуля, или два: объём и время: " << std::flush;
    }
    return std::nullopt;
}

int Calibrate(ToolContext& c)
{
    CalibrateArgs args;
    std::optional<StopSignals> stop;
    CalibrationResult result;
    bool ran = false;
    bool fileFailed = false;
    bool printedOnQueue = false;
    SessionSteps steps;
    steps.beforePoller = [&](ToolContext&) { stop.emplace(); };
    steps.step = [&](MeterSession& s) {
        if (!s.connected) return;
        const int n = c.options.slot;
        CoefficientActions actions(c.dev, s.poller, s.host, &c.settings, c.folders.Saved);
        s.host.AnswerYes = c.options.Has("--yes");
        // The reference on a port of its own.
        std::optional<TulvComPort> referencePort;
        if (!ReferenceOnLine(args.reference, c.choice.Path)) {
            referencePort.emplace();
            referencePort->SetTrace(c.trace.get());
            std::string error;
            if (!OpenReferencePort(*referencePort, args.reference, error)) {
                s.host.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
                s.meterFailed = true;
                return;
            }
        }
        RunEvents events;
        CalibrationRun* running = nullptr;
        events.Figures = [&](RunPass, int, const GateFigures&) {
            if (running && stop->Take(0) != 0) running->Stop();
        };
        events.PointTaken = [&](RunPass pass, int point, const PassPoint& p) {
            c.err << "калибровка: " << PassText(pass) << ", точка " << point << " из "
                  << (running ? running->Targets().size() : 0) << " (цель " << Figure(p.Target) << "): образцовый "
                  << Figure(p.Reference.Stats.Mean) << ", прибор " << Figure(p.Meter.Stats.Mean) << ", n "
                  << p.Meter.Stats.N << ", КВ " << Figure(p.Meter.Stats.CvPct, 2) << " %, погрешность "
                  << Figure(p.ErrorPct, 3) << " %" << std::endl;
        };
        events.PassFinished = [&](RunPass pass, const CalibrationResult&) {
            c.err << "калибровка: проход " << PassText(pass) << " закончен" << std::endl;
        };
        events.AskReference = [&](int point, double target, double meterMean) {
            return AskOnConsole(c.err, point, target, meterMean);
        };
        const TimeoutProfile profile = c.options.timeouts ? *c.options.timeouts : c.settings.Timeouts();
        result = CalibrateSlot(c.dev, s.poller, actions.Writer(), s.host, n, args.reference,
                               referencePort ? &*referencePort : nullptr, profile, args.settings, events,
                               "--reference-port",
                               [&](CalibrationRun& run) {
                                   running = &run;
                                   if (stop->Take(0) != 0) run.Stop();
                               });
        ran = true;
        if (referencePort) referencePort->Close();
        if (!result.Message.empty()) s.host.MessageBox(result.Message, "Калибровка", MsgIcon::Error, MsgButtons::Ok);
        std::string error;
        if (args.samples && !WriteFileAtomic(*args.samples, SamplesCsv(result), error)) {
            s.host.MessageBox(RussianSystemTexts(error), "Ошибка", MsgIcon::Error, MsgButtons::Ok);
            fileFailed = true;
        }
        if (args.certificate.Any() && result.Outcome != RunOutcome::Refused) {
            const CertificatePrinted printed = PrintCalibrationCertificate(c.settings, result, c.dev.Slot(n), args.certificate);
            for (const std::string& e : printed.Errors)
                s.host.MessageBox(RussianSystemTexts(e), "Ошибка", MsgIcon::Error, MsgButtons::Ok);
            fileFailed = fileFailed || !printed.Errors.empty();
            printedOnQueue = printed.Printer;
        }
        const bool passed = result.Outcome == RunOutcome::Passed && (result.Written || args.settings.VerifyOnly);
        s.meterFailed = !passed;
    };
    steps.afterDisconnect = [&](MeterSession&) {
        json points = json::array();
        for (const CalibrationPoint& p : result.Points) points.push_back(PointJson(p, result.VerifyOnly));
        c.result["points"] = points;
        c.result["verdict"] = RunVerdict(result);
        c.result["backup"] = result.BackupPath.empty() ? json(nullptr) : json(result.BackupPath);
        json differences = json::array();
        for (const auto& d : result.Differences)
            differences.push_back({{"name", d.Name}, {"meant", Number(d.Meant)}, {"held", Number(d.Held)}});
        c.result["differences"] = differences;
        c.result["outcome"] = ran ? RunOutcomeName(result.Outcome) : "not_started";
        c.result["written"] = result.Written;
        c.result["verify_only"] = args.settings.VerifyOnly;
        c.result["class"] = args.settings.AccuracyClass;
        c.result["qp"] = ran ? Value(result.Qp) : json(nullptr);
        c.result["reference_device"] = result.ReferenceDescription;
        if (args.samples) c.result["samples"] = AbsolutePath(*args.samples);
        if (args.certificate.Printer) c.result["printed_on"] = printedOnQueue ? json(*args.certificate.Printer) : json(nullptr);
        const int sig = stop ? stop->Caught() : 0;
        c.result["interrupted"] = sig ? json(SignalName(sig)) : json(nullptr);
        if (c.json) return;
        for (const CalibrationPoint& p : result.Points) {
            const json j = PointJson(p, result.VerifyOnly);
            c.out << "цель " << Figure(p.Target) << ": образцовый " << Figure(j["reference"].is_null() ? NAN : j["reference"].get<double>())
                  << ", прибор " << Figure(j["meter"].is_null() ? NAN : j["meter"].get<double>()) << ", погрешность "
                  << Figure(j["error_as_found_pct"].is_null() ? NAN : j["error_as_found_pct"].get<double>(), 3) << " %";
            if (std::isfinite(p.K)) c.out << ", K " << ShortestText(static_cast<float>(p.K)) << ", Obr " << ShortestText(static_cast<float>(p.Obr));
            if (p.AsLeft) c.out << ", после записи " << Figure(p.AsLeft->ErrorPct, 3) << " %";
            if (const PassPoint* judged = p.Judged(result.VerifyOnly))
                c.out << ", МДП ±" << Figure(judged->MpePct, 3) << " %, U " << Figure(judged->UPct, 2) << " %: "
                      << VerdictText(judged->PointVerdict);
            c.out << "\n";
        }
        const json verdict = RunVerdict(result);
        c.out << "калибровка: " << (verdict.is_null() ? result.Message : "прибор " + verdict.get<std::string>()) << "\n";
        if (!result.BackupPath.empty()) c.out << "прежние коэффициенты прибора сохранены в " << result.BackupPath << "\n";
    };
    steps.finalStatus = [&](MeterSession&, int status) {
        if (fileFailed) return 2;
        return stop && stop->Caught() != 0 ? 128 + stop->Caught() : status;
    };
    return RunMeterCommand(c, steps, {}, [&](ToolContext& t) { args = ReadArgs(t); });
}

} // namespace

Command CalibrateCommand()
{
    Command c;
    c.name = "calibrate";
    c.help = "  calibrate N --reference ПРИБОР|modbus:АДРЕС|manual [параметры]\n"
             "      калибровка слота N на проливном стенде: проход до записи,\n"
             "      новая таблица точек, запись (с резервной копией), проход\n"
             "      после записи, заключение по классу точности; образцовый\n"
             "      прибор ТИП:АДРЕС[:КАНАЛ] на той же линии, ModBus-расходомер\n"
             "      modbus:АДРЕС[:МАСШТАБ] (отсчётов на единицу расхода, 1)\n"
             "      или расход, вводимый вручную;\n"
             "      --reference-port ПОРТ (образцовый на втором порту),\n"
             "      --reference-uncertainty % (0.2), --class 1|2|3 (2),\n"
             "      --qp РАСХОД (Gmax), --tolerance % (5), --settle С (5),\n"
             "      --window С (10), --cv % (0.5), --point-timeout С (120),\n"
             "      --profile ФАЙЛ (расходы точек), --verify-only (только\n"
             "      проверка, без записи), --samples ФАЙЛ.csv,\n"
             "      --certificate ФАЙЛ.pdf, --certificate-printer ОЧЕРЕДЬ (печать\n"
             "      свидетельства в очередь CUPS), --yes (без него запись не\n"
             "      выполняется)\n";
    c.shared = MeterOptions();
    for (const char* name : {"--reference", "--reference-port", "--reference-uncertainty", "--class", "--qp",
                             "--tolerance", "--settle", "--window", "--cv", "--point-timeout", "--profile",
                             "--certificate", "--certificate-printer", "--samples"})
        c.own.push_back({name, {}, true, nullptr, {}, {}});
    c.own.push_back({"--verify-only", {}, false, nullptr, {}, {}});
    c.own.push_back({"--yes", {}, false, nullptr, {}, {}});
    c.check = [](Options& o) {
        if (o.args.size() != 1 || (o.args[0] != "1" && o.args[0] != "2"))
            throw UsageError{"команде calibrate нужен номер слота (1 или 2)"};
        o.slot = o.args[0][0] - '0';
    };
    c.run = Calibrate;
    return c;
}
