// Writing a slot's coefficients into its meter, and reading them back.
//
// The write puts Gmax where the type keeps it, then K0, Ku and the eight points
// of both tables, in the plain 4-byte form or the scrambled 8-byte form as the
// type and its software version demand (or the whole table at once for the
// КВТ-66 and the older КВТ-76). Afterwards the measured-flow table is read back
// and shown.
#pragma once

#include "DevManager.h"
#include "Host.h"
#include "MeterTypes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TClbThread;

// The form of a type code at a software version (the number the read-out keeps).
PointForm PointWriteForm(std::uint8_t typeCode, float version);

// Where and how a type keeps Gmax.
const GmaxWrite& GmaxWriteOf(std::uint8_t typeCode);

// The position of gmax in the КВТ-64-1's list of the modification text ("M":
// the M series); 0 when no entry is equal.
std::uint8_t GmaxIndexKvt641(const std::string& modification, float gmax);

// The messages of writing.
inline constexpr const char* WriteQuestion = "Записать коэффициенты в прибор?";
inline constexpr const char* GmaxWriteError = "Ошибка записи Gmax в прибор";
inline constexpr const char* WriteError = "Ошибка записи в прибор";
inline constexpr const char* WrittenAndChecked = "записано и проверено";
inline constexpr const char* WrittenNotChecked = "записано (этот тип прибора не читается обратно: не проверено)";

enum class WriteResult {
    Declined,    // the question was answered No: nothing sent
    NotWritable, // no device, not read out, no driver, or no open port: nothing sent
    Written,     // every write succeeded
    Failed,      // at least one write failed (each was told)
};

class CoefficientWriter {
public:
    CoefficientWriter(DevManager& dev, TClbThread& poller, Host& host) : FDev(dev), FPoller(poller), FHost(host) {}

    // The program's "saved" folder: with it set, every write first saves the
    // slot's tables as found into the type's backup folder (CoefficientBackup.h)
    // and sends nothing when that fails. Without it no backup is made.
    void SetSavedFolder(std::string savedFolder) { FSavedFolder = std::move(savedFolder); }
    // The production journal (WriteJournal.h): with it set, every write that
    // was not declined appends a line there.
    void SetJournalFile(std::string path) { FJournalFile = std::move(path); }
    // The plant record (PlantOutbox.h): with a bench name set, every journal
    // line also goes into the outbox beside the journal as an event of that
    // bench. Empty: no events.
    void SetPlantBench(std::string bench) { FPlantBench = std::move(bench); }
    const std::string& PlantBench() const { return FPlantBench; }
    const std::string& JournalFile() const { return FJournalFile; }
    // The file the next write's values came from (for the journal).
    void SetSourceFile(std::string path) { FSourceFile = std::move(path); }
    // The form the journal names for the next write in place of its write
    // form ("calibration" for a table made on the flow stand).
    void SetJournalForm(std::string form) { FJournalForm = std::move(form); }
    // The backup file of the last write (empty when none was written).
    const std::string& BackupPath() const { return FBackupPath; }
    // Every value of the last write that the meter gave back other than meant
    // (empty when it holds what was meant, or nothing was read back).
    const std::vector<ValueDifference>& Differences() const { return FDifferences; }

    // Asks whether to write (notice, when given, is said first in the same
    // box); on Yes pauses polling, makes sure that every address the write
    // will use answers (nothing is sent when one does not), writes Gmax and
    // the tables of slot s, reads the measured-flow table back, checks it
    // against what was written, shows it and restores polling. Every failed
    // write is told at once, and the write goes on, unless the port has gone
    // away: then the user is told that the meter may be partly written, and
    // nothing more is sent.
    WriteResult WriteCoefficients(int s, const std::string& notice = {});

    // The outcome of the last write in a line: "записано и проверено",
    // "записано" (a type that is not read back) or "не записано: <reason>".
    const std::string& Outcome() const { return FOutcome; }
    // Sets the outcome "не записано: <reason>" (a file that was refused).
    void SetOutcome(const std::string& notWrittenReason) { FOutcome = "не записано: " + notWrittenReason; }

    // K[0..9] as the meter holds them (a failed read stores 0); nothing for an
    // empty or unread slot and for the types whose row says they are not read back.
    // True when every value was read.
    bool ReadBackK(int s);
    // The coefficient boxes of slot s alone, rows 0 to 9.
    void ShowCoefficients(int s);

private:
    // Every address the write will use answers a read; false (told, nothing
    // sent) when one does not.
    WriteResult WriteOnce(int s, const std::string& notice);
    void Journal(int s);
    // Tells an error and keeps it for the journal.
    void Tell(const std::string& text);
    bool Preflight(int s);
    // Saves the as-found backup; false (told, nothing sent) when it cannot.
    bool Backup(int s);
    // After a write without a fault: the values read back are those written.
    bool Verify(int s, const std::array<float, 10>& written, bool readAll);
    bool WriteGmax(int s);
    bool WritePoints(int s, PointForm form);
    // False once the port is gone (after telling the user, once: that the
    // meter may be partly written when an earlier check had let frames go out,
    // that nothing was sent when the first check found the port gone).
    bool LineAlive(int s);
    void Fail(const char* text);

    DevManager& FDev;
    TClbThread& FPoller;
    Host& FHost;
    bool FFailed = false;
    bool FWriteFailed = false; // a write call failed (not only the check after it)
    bool FLostTold = false;
    std::string FFirstFault;
    std::string FOutcome;
    std::string FSavedFolder;
    std::string FBackupPath;
    std::vector<ValueDifference> FDifferences;
    std::string FJournalFile;
    std::string FPlantBench;
    std::string FSourceFile;
    std::string FJournalForm;
    std::vector<std::string> FMessages;
    std::optional<CoefficientTables> FFound;
    bool FWriteStarted = false;
    bool FSent = false; // a check found the line alive: frames have gone out since
};
