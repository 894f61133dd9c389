// Reading out: the software version rules of the meters, and the read-out of
// every configured slot (one function per step).
#pragma once

#include "DevManager.h"
#include "Host.h"

#include <optional>
#include <string>

// --- Software versions -------------------------------------------------------
// The version texts of the meters turned into the number the tool keeps. V is
// the version text, S the sub-version text (subOk: its question succeeded).
// Positions in the rules count from 1. Each returns the number, or nothing
// when the built text is not a number.
namespace VersionRules {
std::optional<float> RuleA(const std::string& V, const std::string& S); // КВТ-64
std::optional<float> RuleB(const std::string& V, const std::string& S, bool subOk); // КВТ-64-1
std::optional<float> RuleC(const std::string& V, const std::string& S); // КВТ-64К
std::optional<float> RuleD(const std::string& V);                       // КВТ-76
std::optional<float> RuleE(const std::string& V);                       // ДЛН-08.05С
} // namespace VersionRules

class ReadOut {
public:
    ReadOut(DevManager& dev, Host& host) : FDev(dev), FHost(host) {}

    // Reads both slots; true when every step succeeded. A fatal step that fails
    // ends the read-out at once (the other slot is not read). May throw: an
    // error raised by an unguarded step. The progress bar runs from 0 to the
    // number of steps of every configured slot (version, serial number, Gmax,
    // sensor index, each table value) and moves after each of them.
    bool ReadAllDevices();

    // What failed, for the message of a failed read-out: the slot, its type,
    // its address and the step ("Прибор 1 (КВТ-64, адрес 1): не прочитан
    // Gmax, нет ответа"); one line per failed slot, empty when
    // everything was read.
    const std::string& FailureText() const { return FFailure; }

    // Shows one row of coefficient boxes for every read slot.
    void ShowCoefficient(int row);

private:
    enum class SlotResult { Read, TablesFailed, Fatal };
    // Reads slot n out, one step after the other, as the type's row says.
    SlotResult ReadSlot(int n);
    // The steps, on the slot's driver d. A step that fails fatally tells it
    // (Failed) and returns false.
    template <class D> bool ReadVersion(int n, D& d);
    template <class D> void ReadSerialNumber(int n, D& d);
    template <class D> bool ReadGmax(int n, D& d);
    template <class D> bool ReadSensorIndex(int n, D& d);
    // Table K (obr false) or Obr: false when a value could not be read (told;
    // the rest of the table is not asked).
    template <class D> bool ReadTable(int n, D& d, bool obr);
    // Marks the slot read and keeps its tables as found when they are whole.
    SlotResult KeepTables(int n, bool whole);
    // One step of the read-out done: the bar moves.
    void Advance(int steps = 1);
    void Failed(int n, const std::string& what, int error);

    DevManager& FDev;
    Host& FHost;
    int FStepsDone = 0;
    int FStepsTotal = 0;
    std::string FFailure;
};
