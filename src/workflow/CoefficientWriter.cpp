#include "CoefficientWriter.h"

#include "ClbThread.h"
#include "CoefficientBackup.h"
#include "PlantOutbox.h"
#include "WriteJournal.h"
#include "DeviceCatalogue.h"
#include "NumberText.h"
#include "SlotBoxes.h"
#include "UlvUtils.h"

#include <bit>
#include <filesystem>
#include <ctime>
#include <cstring>
#include <stdexcept>
#include <type_traits>

// --- Per-type tables ---------------------------------------------------------

PointForm PointWriteForm(std::uint8_t typeCode, float version)
{
    return MeterTypeOf(typeCode).Write.Form(version);
}

const GmaxWrite& GmaxWriteOf(std::uint8_t typeCode)
{
    return MeterTypeOf(typeCode).Write.Gmax;
}

std::uint8_t GmaxIndexKvt641(const std::string& modification, float gmax)
{
    const auto& list = modification == "M" ? TulvKvt641::GmaxMSeries : TulvKvt641::GmaxStandard;
    for (std::uint8_t k = 0; k < 8; ++k)
        if (list[k] == gmax) return k;
    return 0;
}

// --- Driver calls --------------------------------------------------------------

namespace {

// The slot's driver as a 6x protocol object (its plain memory commands).
Tulv6xProtocol& Memory6x(SlotDriver& driver)
{
    return std::visit(
        [](auto& alt) -> Tulv6xProtocol& {
            using A = std::decay_t<decltype(alt)>;
            if constexpr (!std::is_same_v<A, std::monostate>) {
                if constexpr (std::is_base_of_v<Tulv6xProtocol, typename A::element_type>) return *alt;
            }
            throw std::logic_error("the slot's driver has no 6x memory");
        },
        driver);
}

// The slot's driver as the class that a Gmax place belongs to.
template <class D> D& DriverOfClass(SlotDriver& driver)
{
    return *std::get<std::unique_ptr<D>>(driver);
}

// One per-point write of K (obr false) or Obr (obr true) in the given form;
// the drivers of single-channel meters take no channel.
template <class D> bool WritePoint(D& d, bool obr, PointForm form, std::uint8_t ch, std::uint8_t i, float v)
{
    if (form == PointForm::Scrambled) {
        const std::uint64_t b = ScrambleValue8(std::bit_cast<std::uint32_t>(v));
        if constexpr (requires { d.ClbWriteK_new(ch, i, b); })
            return obr ? d.ClbWriteObr_new(ch, i, b) : d.ClbWriteK_new(ch, i, b);
        else if constexpr (requires { d.ClbWriteK_new(i, b); })
            return obr ? d.ClbWriteObr_new(i, b) : d.ClbWriteK_new(i, b);
        else
            throw std::logic_error("the driver has no scrambled write");
    }
    if constexpr (requires { d.ClbWriteK(ch, i, v); })
        return obr ? d.ClbWriteObr(ch, i, v) : d.ClbWriteK(ch, i, v);
    else
        return obr ? d.ClbWriteObr(i, v) : d.ClbWriteK(i, v);
}

template <class D> bool ReadPoint(D& d, std::uint8_t ch, std::uint8_t i, float& v)
{
    if constexpr (requires { d.ClbReadK(ch, i, v); })
        return d.ClbReadK(ch, i, v);
    else
        return d.ClbReadK(i, v);
}

} // namespace

// --- The write -------------------------------------------------------------------

void CoefficientWriter::Tell(const std::string& text)
{
    FMessages.push_back(text);
    FHost.MessageBox(text, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
}

void CoefficientWriter::Fail(const char* text)
{
    FFailed = true;
    FWriteFailed = true;
    if (FFirstFault.empty()) FFirstFault = text;
    Tell(text);
}

bool CoefficientWriter::LineAlive(int s)
{
    TulvPort* port = DriverPort(FDev.Driver(s));
    if (port && port->Opened() && !port->Lost()) {
        // A look at the device without waiting notices an adapter that went
        // away while the line was idle.
        port->WaitForByte(0);
        if (!port->Lost()) {
            // What follows a check that found the line alive sends frames.
            FSent = true;
            return true;
        }
    }
    if (port && port->Lost()) {
        // Nothing more goes to a port that is gone; connecting opens it anew.
        port->Close();
        FHost.SetConnectButtons(true, false);
    }
    if (!FLostTold) {
        FLostTold = true;
        FFailed = true;
        const std::string name = port ? port->Name() : std::string();
        const std::string where = name.empty() ? std::string("с портом") : "с портом " + name;
        std::string text;
        if (!(port && port->Lost()))
            text = "Нет связи " + where + ": порт закрыт. Коэффициенты не записаны.";
        else if (FSent)
            text = "Связь " + where + " потеряна. Прибор мог быть записан частично; запись прервана.";
        else
            text = "Связь " + where + " потеряна до начала записи: в прибор ничего не отправлено.";
        Tell(text);
    }
    return false;
}

bool CoefficientWriter::WriteGmax(int s)
{
    const DeviceSlot& slot = FDev.Slot(s);
    const float gmax = FDev.Coefficients(s).Gmax;
    const GmaxWrite& w = GmaxWriteOf(slot.TypeCode());
    const auto address = static_cast<std::uint16_t>(w.Address + w.PerChannel * (slot.Channel() - 1));
    SlotDriver& driver = FDev.Driver(s);
    std::uint8_t bytes[4];
    std::memcpy(bytes, &gmax, 4);
    // A question about the meter's modification that fails leaves nothing to
    // choose the list by: nothing is written then (an index from the wrong list
    // would set another pipe size).
    bool asked = true;
    bool firstOk = true;
    switch (w.Place) {
    case GmaxPlace::None: return true;
    case GmaxPlace::Reversed: SwapBytes4(bytes); [[fallthrough]];
    case GmaxPlace::AsStored: Memory6x(driver).WriteRtc2k(address, bytes, 4); break;
    case GmaxPlace::IndexKvt641: {
        auto& d = DriverOfClass<TulvKvt641>(driver);
        std::string modification;
        d.GetModification(modification);
        if (!(asked = d.LastError() == 0)) break;
        const std::uint8_t index = GmaxIndexKvt641(modification, gmax);
        d.WriteRtc2k(address, {&index, 1}, 1);
        break;
    }
    case GmaxPlace::IndexDln0803: {
        auto& d = DriverOfClass<TulvDln0803s>(driver);
        const std::uint8_t modification = d.GetDevice_Modification();
        if (!(asked = d.LastError() == 0)) break;
        const std::uint8_t index = TulvDln0803s::GmaxIndex(modification, gmax);
        d.WriteRtc2k(address, {&index, 1}, 1);
        firstOk = d.LastError() == 0;
        const std::uint8_t again = d.GetDevice_Modification();
        if (!(asked = d.LastError() == 0)) break;
        const std::uint8_t size = TulvDln0803s::GmaxSizeCode(again, index);
        d.WriteRtc2k(static_cast<std::uint16_t>(address + 1), {&size, 1}, 1);
        break;
    }
    case GmaxPlace::RelayAsStored: DriverOfClass<TulvGZU08>(driver).WriteRtc2k_new(address, bytes, 4); break;
    case GmaxPlace::M4Block: DriverOfClass<TulvKvt09M4>(driver).ClbWriteGmax(slot.Channel(), gmax); break;
    }
    if (asked && firstOk && DriverLastError(driver) == 0) return true;
    if (LineAlive(s)) Fail(GmaxWriteError);
    return false;
}

bool CoefficientWriter::WritePoints(int s, PointForm form)
{
    const std::uint8_t code = FDev.Slot(s).TypeCode();
    const std::uint8_t ch = FDev.Slot(s).Channel();
    const CoefficientSet& c = FDev.Coefficients(s);
    SlotDriver& driver = FDev.Driver(s);
    TulvPort* port = DriverPort(driver);
    TulvClock& clock = port ? port->Clock() : RealClock();

    // Runs one driver call; false when the line is gone and writing must stop.
    auto call = [&](auto&& op) {
        if (!op()) {
            if (!LineAlive(s)) return false;
            Fail(WriteError);
        }
        return true;
    };

    if (form == PointForm::WholeTable) {
        float table[18];
        table[0] = c.K[0];
        table[1] = c.K[1];
        for (int k = 0; k < 8; ++k) {
            table[2 + k] = c.Obr[2 + k];
            table[10 + k] = c.K[2 + k];
        }
        return call([&] {
            return WithDriver(driver, [&](auto& d) {
                if constexpr (requires { d.ClbWriteAll(ch, table); })
                    return d.ClbWriteAll(ch, table);
                else
                    throw std::logic_error("the driver has no whole-table write");
                return false;
            });
        });
    }
    if (form == PointForm::None) return true;

    return WithDriver(driver, [&](auto& d) {
        if (MeterTypeOf(code).Write.FirstPass) {
            // Both whole tables go in first, K0 and Ku of the reference table
            // included (the ГЗУ-08).
            for (std::uint8_t i = 0; i <= 9; ++i) {
                if (!call([&] { return WritePoint(d, false, form, ch, i, c.K[i]); })) return false;
                if (!call([&] { return WritePoint(d, true, form, ch, i, c.Obr[i]); })) return false;
            }
        }
        for (std::uint8_t i = 0; i <= 9; ++i) {
            clock.SleepMs(25);
            if (!call([&] { return WritePoint(d, false, form, ch, i, c.K[i]); })) return false;
            if (i >= 2 && !call([&] { return WritePoint(d, true, form, ch, i, c.Obr[i]); })) return false;
        }
        return true;
    });
}

bool CoefficientWriter::Preflight(int s)
{
    const DeviceSlot& slot = FDev.Slot(s);
    const std::uint8_t code = slot.TypeCode();
    const std::uint8_t ch = slot.Channel();
    SlotDriver& driver = FDev.Driver(s);
    auto silent = [&](const std::string& where) {
        if (!LineAlive(s)) return false;
        const std::string text =
            "Прибор не отвечает " + where + ": коэффициенты не записаны, в прибор ничего не отправлено";
        FFailed = true;
        if (FFirstFault.empty()) FFirstFault = text;
        Tell(text);
        return false;
    };
    const std::string net = "по сетевому адресу " + std::to_string(slot.NetAddress());
    // Each look is tried as often as a read-out step, on top of the protocol's repeats.
    auto answers = [](auto&& read) {
        for (int attempt = 0; attempt < 3; ++attempt)
            if (read()) return true;
        return false;
    };
    // The points go where the read-out read them: a read of K0 there must answer.
    float value = 0;
    if (!answers([&] { return WithDriver(driver, [&](auto& d) { return ReadPoint(d, ch, 0, value); }); })) {
        return silent(RelayAddressed(code) ? "по серийному номеру " + std::to_string(slot.RelayAddress()) + " (через ретранслятор)"
                            : net);
    }
    const GmaxPlace place = GmaxWriteOf(code).Place;
    if (RelayAddressed(code) && (place == GmaxPlace::AsStored || place == GmaxPlace::Reversed)) {
        // A plain Gmax write goes to the network address, past the relay that
        // carries everything else (the КВТ-64КУ): that address must answer too.
        std::uint8_t cell[4];
        Tulv6xProtocol& direct = Memory6x(driver);
        if (!answers([&] {
                direct.ReadRtc2k(GmaxWriteOf(code).Address, cell, 4);
                return direct.LastError() == 0;
            }))
            return silent(net + " (Gmax пишется на этот адрес напрямую)");
    }
    return true;
}

bool CoefficientWriter::Verify(int s, const std::array<float, 10>& written, bool readAll)
{
    const std::uint8_t code = FDev.Slot(s).TypeCode();
    const CoefficientSet& c = FDev.Coefficients(s);
    auto fault = [&](const std::string& text) {
        FFailed = true;
        if (FFirstFault.empty()) FFirstFault = text;
        Tell(text);
        return false;
    };
    if (!readAll) return fault("Коэффициенты не удалось прочитать из прибора: запись не проверена");
    const DeviceTypeInfo* type = FindDeviceType(code);
    const bool m4 = type && type->Protocol == ProtocolFamily::M4;
    for (std::size_t i = 0; i <= 9; ++i) {
        float expected = written[i];
        if (c.K[i] == expected) continue;
        if (m4) {
            // An M4 meter keeps a 16-bit mantissa: it gives back the value so rounded.
            std::uint8_t b[4];
            EncodeM4Float(b, expected);
            DecodeM4Float(b, expected);
            if (c.K[i] == expected) continue;
        }
        FDifferences.push_back({i == 0 ? "K0" : i == 1 ? "Ku" : "K" + std::to_string(i - 1), written[i], c.K[i]});
    }
    if (FDifferences.empty()) return true;
    auto said = [](const ValueDifference& d) {
        const std::string name = d.Name == "K0" || d.Name == "Ku" ? d.Name : "точки " + d.Name.substr(1);
        return "для " + name + " значение " + ShortestText(d.Held) + " вместо " + ShortestText(d.Meant);
    };
    if (FDifferences.size() == 1) return fault("Проверка записи не прошла: прибор хранит " + said(FDifferences[0]));
    std::string text = "Проверка записи не прошла: прибор хранит не то, что записано (" +
                       std::to_string(FDifferences.size()) + " значений):";
    for (const auto& d : FDifferences) text += "\n" + said(d);
    return fault(text);
}

bool CoefficientWriter::Backup(int s)
{
    const DeviceSlot& slot = FDev.Slot(s);
    const CoefficientSet& c = FDev.Coefficients(s);
    std::string path, error;
    bool ok = false;
    if (!c.AsFound)
        error = "Таблицы коэффициентов не были прочитаны из прибора полностью: резервную копию сделать не из "
                "чего. Прочитайте прибор снова";
    else if (WriteBackup(FSavedFolder, slot, *c.AsFound, std::time(nullptr), path, error))
        ok = true;
    if (ok) {
        FBackupPath = path;
        return true;
    }
    const std::string text = "Резервная копия коэффициентов прибора не сохранена" +
                             (path.empty() ? std::string() : " в файл " + path) + ": " + error +
                             ". Коэффициенты не записаны, в прибор ничего не отправлено";
    FFailed = true;
    if (FFirstFault.empty()) FFirstFault = text;
    Tell(text);
    return false;
}

WriteResult CoefficientWriter::WriteCoefficients(int s, const std::string& notice)
{
    FMessages.clear();
    const WriteResult r = WriteOnce(s, notice);
    // A write that was declined is no write; every other outcome is journalled.
    if (r != WriteResult::Declined && !FJournalFile.empty()) Journal(s);
    FSourceFile.clear();
    FJournalForm.clear();
    return r;
}

void CoefficientWriter::Journal(int s)
{
    const DeviceSlot& slot = FDev.Slot(s);
    const CoefficientSet& c = FDev.Coefficients(s);
    JournalEntry e;
    e.Time = JournalTime(std::time(nullptr));
    e.Operator = OperatorName();
    if (HasDriver(FDev.Driver(s)))
        if (TulvPort* port = DriverPort(FDev.Driver(s))) e.Port = port->Name();
    e.TypeCode = slot.TypeCode();
    if (const DeviceTypeInfo* type = FindDeviceType(slot.TypeCode())) e.DisplayName = std::string(type->DisplayName);
    e.Serial = slot.SerialText();
    e.Channel = slot.Channel();
    e.Version = slot.SoftwareVersion();
    e.Form = !FJournalForm.empty() ? FJournalForm
                                   : JournalForm(slot.TypeCode(), PointWriteForm(slot.TypeCode(), slot.SoftwareVersion()));
    e.File = FSourceFile;
    e.Found = FFound;
    // Nothing sent: the meter was left as found; otherwise Gmax as written
    // and K as read back (as loaded where it was not read back).
    if (FWriteStarted || !FFound) e.Left = CoefficientTables{c.K, c.Obr, c.Gmax};
    else e.Left = *FFound;
    e.Outcome = FOutcome;
    e.Differences = FDifferences;
    e.Messages = FMessages;
    std::string error;
    if (!AppendJournal(FJournalFile, e, error)) FHost.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
    if (FPlantBench.empty()) return;
    // A write from one of the meter's own backups puts it back as it was.
    const auto backups = BackupFolder(FSavedFolder, slot);
    const bool restore = !FSourceFile.empty() && backups && !FSavedFolder.empty() &&
                         std::filesystem::path(JournalFilePath(FSourceFile)).parent_path() ==
                             std::filesystem::path(JournalFilePath(*backups));
    if (!AppendOutbox(OutboxPath(FJournalFile), JournalEvent(e, restore ? "restore" : "write", FPlantBench), error))
        FHost.MessageBox(error, "Ошибка", MsgIcon::Error, MsgButtons::Ok);
}

WriteResult CoefficientWriter::WriteOnce(int s, const std::string& notice)
{
    FFailed = false;
    FWriteFailed = false;
    FLostTold = false;
    FFirstFault.clear();
    FSent = false;
    FBackupPath.clear();
    FDifferences.clear();
    FWriteStarted = false;
    FFound = FDev.Coefficients(s).AsFound;
    const std::string question = notice.empty() ? std::string(WriteQuestion) : notice + "\n\n" + WriteQuestion;
    FMessages.push_back(question);
    if (FHost.MessageBox(question, "Предупреждение", MsgIcon::Warning, MsgButtons::YesNo) != MsgAnswer::Yes) {
        FOutcome = "не записано: запись не подтверждена";
        return WriteResult::Declined;
    }
    const DeviceSlot& slot = FDev.Slot(s);
    if (!HasDriver(slot.TypeCode()) || !FDev.Coefficients(s).ReadDone || !HasDriver(FDev.Driver(s))) {
        FOutcome = "не записано: слот пуст или прибор не прочитан";
        return WriteResult::NotWritable;
    }

    PausePolling pause(FPoller);
    if (!pause.Ready()) { // the poller still holds the port (told)
        FOutcome = "не записано: порт занят опросом";
        return WriteResult::NotWritable;
    }
    if (!LineAlive(s)) {
        FOutcome = "не записано: нет связи с прибором";
        return WriteResult::NotWritable;
    }
    // The pre-flight only reads: a line lost during it has had nothing written.
    FSent = false;
    if (!Preflight(s)) {
        FOutcome = "не записано: " + (FFirstFault.empty() ? std::string("нет связи с прибором") : FFirstFault);
        return FLostTold ? WriteResult::NotWritable : WriteResult::Failed;
    }
    // What the meter holds now is saved before anything is sent.
    if (!FSavedFolder.empty() && !Backup(s)) {
        FOutcome = "не записано: " + FFirstFault;
        return WriteResult::Failed;
    }
    const std::array<float, 10> written = FDev.Coefficients(s).K;
    // From here on write frames go out.
    FSent = true;
    FWriteStarted = true;
    WriteGmax(s);
    const bool alive = LineAlive(s) && WritePoints(s, PointWriteForm(slot.TypeCode(), slot.SoftwareVersion()));
    // After a lost line the read-back would only turn the loaded values into
    // zeros; they stay as loaded.
    bool readAll = false;
    if (alive) readAll = ReadBackK(s);
    ShowCoefficients(s);
    const bool readBack = MeterTypeOf(slot.TypeCode()).Write.ReadBack;
    if (alive && !FFailed && readBack) Verify(s, written, readAll);
    if (FFailed) {
        // Past the pre-flight frames went out: a write that failed on the way
        // may have left some of the values in the meter.
        FOutcome = "не записано: " +
                   (FFirstFault.empty() ? std::string("связь с прибором потеряна во время записи") : FFirstFault) +
                   (FWriteFailed || FFirstFault.empty() ? "; прибор мог быть записан частично" : "");
        return WriteResult::Failed;
    }
    // The meter now holds what was written: that is what a later write backs up.
    CoefficientSet& c = FDev.Coefficients(s);
    c.AsFound = CoefficientTables{c.K, c.Obr, c.Gmax};
    FOutcome = readBack ? WrittenAndChecked : WrittenNotChecked;
    return WriteResult::Written;
}

bool CoefficientWriter::ReadBackK(int s)
{
    const DeviceSlot& slot = FDev.Slot(s);
    CoefficientSet& c = FDev.Coefficients(s);
    const std::uint8_t code = slot.TypeCode();
    if (!MeterTypeOf(code).Write.ReadBack || !c.ReadDone || !HasDriver(FDev.Driver(s))) return false;
    const std::uint8_t ch = slot.Channel();
    return WithDriver(FDev.Driver(s), [&](auto& d) {
        bool all = true;
        for (std::uint8_t i = 0; i <= 9; ++i)
            all = ReadPoint(d, ch, i, c.K[i]) && all;
        return all;
    });
}

void CoefficientWriter::ShowCoefficients(int s)
{
    const DeviceSlot& slot = FDev.Slot(s);
    const CoefficientSet& c = FDev.Coefficients(s);
    for (int row = 0; row <= 9; ++row) ShowCoefficientBox(FHost, s, slot, c, row);
}
