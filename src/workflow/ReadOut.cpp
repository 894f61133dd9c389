#include "ReadOut.h"

#include "DeviceCatalogue.h"
#include "MeterTypes.h"
#include "NumberText.h"
#include "SlotBoxes.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>

// --- Software versions -------------------------------------------------------

namespace VersionRules {
namespace {

// Character at position p (from 1); nothing when the text is shorter.
std::optional<char> At(const std::string& s, std::size_t p)
{
    if (p == 0 || p > s.size()) return std::nullopt;
    return s[p - 1];
}

// Builds a text from the given characters; nothing when one is missing.
std::optional<std::string> Pick(std::initializer_list<std::optional<char>> chars)
{
    std::string t;
    for (const auto& c : chars) {
        if (!c) return std::nullopt;
        t += *c;
    }
    return t;
}

// The sub-version digits appended after the point: S[1] and S[2] (as many as S has).
std::string SubDigits(const std::string& S)
{
    return S.substr(0, 2);
}

std::optional<float> Value(const std::optional<std::string>& text, double add)
{
    double v = 0;
    if (!text || !ParseNumber(*text, v)) return std::nullopt;
    return static_cast<float>(v + add);
}

} // namespace

std::optional<float> RuleA(const std::string& V, const std::string& S)
{
    if (At(V, 3) == 'S') {
        auto t = Pick({At(V, 2), '0', At(V, 5), At(V, 6), '.'});
        if (t && !S.empty() && S != V) *t += SubDigits(S);
        return Value(t, 0.001);
    }
    return Value(Pick({At(V, 2), '.', At(V, 5), At(V, 6)}), 0.001);
}

std::optional<float> RuleB(const std::string& V, const std::string& S, bool subOk)
{
    auto t = Pick({At(V, 1), '0', At(V, 3), At(V, 4), '.'});
    if (t && subOk && !S.empty() && S != V) *t += SubDigits(S);
    return Value(t, 0.001);
}

std::optional<float> RuleC(const std::string& V, const std::string& S)
{
    if (At(V, 2) == '2') {
        auto t = Pick({At(V, 2), '0', At(V, 4), At(V, 5), '.'});
        if (t && !S.empty() && S != V) *t += SubDigits(S);
        return Value(t, 0.001);
    }
    return Value(Pick({At(V, 2), '.', At(V, 4), At(V, 5)}), 0.001);
}

std::optional<float> RuleD(const std::string& V)
{
    return Value(Pick({At(V, 2), '.', At(V, 5), At(V, 6)}), 0.0);
}

std::optional<float> RuleE(const std::string& V)
{
    return Value(V.size() >= 3 ? V.substr(1) : V, 0.001);
}

} // namespace VersionRules

// --- The read-out's helpers -----------------------------------------------------

namespace {

constexpr int StepTries = 3;

// Runs op, and again while the driver's LastError is not 0: at most tries runs.
template <class D, class Op> void Tries(D& d, int tries, Op op)
{
    for (int t = 0; t < tries; ++t) {
        op();
        if (d.LastError() == 0) break;
    }
}

[[noreturn]] void NotOffered(const char* what)
{
    throw std::logic_error(std::string("the driver does not offer ") + what);
}

} // namespace

// --- Showing what was read ----------------------------------------------------

void ReadOut::ShowCoefficient(int row)
{
    for (int n = 1; n <= 2; ++n) ShowCoefficientBox(FHost, n, FDev.Slot(n), FDev.Coefficients(n), row);
}

// --- The read-out -----------------------------------------------------------

namespace {

bool ReadOutSlot(DevManager& dev, int n)
{
    return HasDriver(dev.Slot(n).TypeCode()) && HasDriver(dev.Driver(n));
}

// The steps of a slot's read-out that move the bar.
int StepsOf(const ReadOutRule& row)
{
    return (row.Version != VersionStep::None ? 1 : 0) + 1 + (row.Gmax != GmaxStep::None ? 1 : 0) +
           (row.SensorIndex ? 1 : 0) + 20;
}

} // namespace

void ReadOut::Advance(int steps)
{
    FStepsDone += steps;
    FHost.SetProgress(0, FStepsTotal, FStepsDone);
}

void ReadOut::Failed(int n, const std::string& what, int error)
{
    const DeviceSlot& slot = FDev.Slot(n);
    const DeviceTypeInfo* info = FindDeviceType(slot.TypeCode());
    std::string text = "Прибор " + std::to_string(n) + " (";
    if (info) text += std::string(info->DisplayName) + ", ";
    if (RelayAddressed(slot.TypeCode()))
        text += "серийный номер " + std::to_string(slot.RelayAddress());
    else
        text += "адрес " + std::to_string(slot.NetAddress());
    text += "): " + what;
    const std::string& reason =
        error == ErrPortRead ? std::string("нет ответа") : ProtocolErrorText(static_cast<ProtocolErrorCode>(error));
    if (!reason.empty()) text += ", " + reason;
    if (!FFailure.empty()) FFailure += "\n";
    FFailure += text;
}

bool ReadOut::ReadAllDevices()
{
    FFailure.clear();
    FStepsDone = 0;
    FStepsTotal = 0;
    for (int n = 1; n <= 2; ++n)
        if (ReadOutSlot(FDev, n)) FStepsTotal += StepsOf(MeterTypeOf(FDev.Slot(n).TypeCode()).Read);
    FHost.SetProgress(0, std::max(FStepsTotal, 1), 0);
    bool result = true;
    for (int n = 1; n <= 2; ++n) {
        if (!ReadOutSlot(FDev, n)) continue;
        FDev.Coefficients(n).Gmax = 0;
        const SlotResult r = ReadSlot(n);
        if (r == SlotResult::Fatal) {
            result = false;
            break;
        }
        if (r == SlotResult::TablesFailed) result = false;
        FHost.ProcessMessages();
    }
    FHost.RefreshSlots();
    return result;
}

// --- The steps of a slot's read-out ----------------------------------------------

namespace {

// The version number as the type's rule builds it from the meter's answers;
// nothing when a question failed or the text is no number.
template <class D> std::optional<float> AskVersion(D& d, VersionStep step)
{
    std::optional<float> v;
    if constexpr (requires(std::string s) {
                      d.GetSoftVer(s);
                      d.GetSoftSubVer(s);
                      d.GetSoftVer64_1(s);
                  }) {
        std::string V, S;
        switch (step) {
        case VersionStep::RuleA:
        case VersionStep::RuleC:
            d.GetSoftVer(V);
            if (d.LastError() != 0) break;
            // The sub-version is asked only where the rule uses it.
            if ((step == VersionStep::RuleA && V.size() >= 3 && V[2] == 'S') ||
                (step == VersionStep::RuleC && V.size() >= 2 && V[1] == '2')) {
                d.GetSoftSubVer(S);
                if (d.LastError() != 0) S.clear();
            }
            v = step == VersionStep::RuleA ? VersionRules::RuleA(V, S) : VersionRules::RuleC(V, S);
            break;
        case VersionStep::RuleB: {
            d.GetSoftVer64_1(V);
            if (d.LastError() != 0) break;
            d.GetSoftSubVer(S);
            const bool subOk = d.LastError() == 0;
            v = VersionRules::RuleB(V, S, subOk);
            break;
        }
        case VersionStep::RuleD:
            d.GetSoftVer(V);
            if (d.LastError() == 0) v = VersionRules::RuleD(V);
            break;
        case VersionStep::RuleE:
            d.GetSoftVer(V);
            if (d.LastError() == 0) v = VersionRules::RuleE(V);
            break;
        case VersionStep::PoVersion:
            if constexpr (requires { d.GetPO_Version(); })
                v = d.GetPO_Version();
            else
                NotOffered("GetPO_Version");
            break;
        default:
            break;
        }
    } else {
        NotOffered("version questions");
    }
    return v;
}

} // namespace

template <class D> bool ReadOut::ReadVersion(int n, D& d)
{
    DeviceSlot& slot = FDev.Slot(n);
    const ReadOutRule& row = MeterTypeOf(slot.TypeCode()).Read;
    if (row.Version == VersionStep::None) return true;
    Tries(d, row.VersionTries, [&] {
        try {
            slot.SetSoftwareVersion(AskVersion(d, row.Version).value_or(0.0f));
        } catch (const std::logic_error&) {
            throw;
        } catch (const std::exception&) {
            // Guarded: a version text that is no number gives version 0.
            slot.SetSoftwareVersion(0.0f);
        }
    });
    if (row.Version == VersionStep::RuleB && slot.SoftwareVersion() == 0.0f) {
        Failed(n, "не прочитана версия программы", d.LastError());
        return false;
    }
    if (row.Version == VersionStep::PoVersion) {
        if (d.LastError() != 0) {
            Failed(n, "не прочитана версия программы", d.LastError());
            return false;
        }
        if constexpr (requires { d.GetDevice_Modification(); })
            slot.SetModification(d.GetDevice_Modification());
    }
    Advance();
    return true;
}

template <class D> void ReadOut::ReadSerialNumber(int n, D& d)
{
    DeviceSlot& slot = FDev.Slot(n);
    const bool guarded = MeterTypeOf(slot.TypeCode()).Read.SerialGuarded;
    std::string text;
    Tries(d, StepTries, [&] {
        if (guarded) {
            try {
                d.GetDeviceNumber(text);
            } catch (const std::logic_error&) {
                throw;
            } catch (const std::exception&) {
                text = "error";
            }
        } else {
            d.GetDeviceNumber(text);
        }
    });
    // A number that could not be read leaves the text shown so far.
    if (d.LastError() == 0 || text == "error") slot.SetSerialText(text.substr(0, 16));
    Advance();
}

template <class D> bool ReadOut::ReadGmax(int n, D& d)
{
    const DeviceSlot& slot = FDev.Slot(n);
    const ReadOutRule& row = MeterTypeOf(slot.TypeCode()).Read;
    const std::uint8_t ch = slot.Channel();
    CoefficientSet& c = FDev.Coefficients(n);
    auto failed = [&](int error) {
        Failed(n, "не прочитан Gmax", error);
        return false;
    };
    switch (row.Gmax) {
    case GmaxStep::MemoryReversed:
    case GmaxStep::MemoryAsStored:
        if constexpr (requires(std::uint8_t* b) { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 4), 4); }) {
            const std::uint16_t addr = static_cast<std::uint16_t>(row.GmaxAddress + row.GmaxPerChannel * ch);
            std::uint8_t b[4] = {};
            Tries(d, StepTries, [&] { d.ReadRtc2k(addr, std::span<std::uint8_t>(b, 4), 4); });
            if (d.LastError() != 0) return failed(d.LastError());
            if (row.Gmax == GmaxStep::MemoryReversed) SwapBytes4(b);
            std::memcpy(&c.Gmax, b, 4);
        } else {
            NotOffered("ReadRtc2k");
        }
        break;
    case GmaxStep::Driver:
        if constexpr (requires { d.ClbReadGmax(); }) {
            Tries(d, StepTries, [&] { c.Gmax = d.ClbReadGmax(); });
            if (d.LastError() != 0) return failed(d.LastError());
        } else {
            NotOffered("ClbReadGmax()");
        }
        break;
    case GmaxStep::DriverVersion:
    case GmaxStep::DriverChannel:
        if constexpr (requires { d.ClbReadGmax(std::uint8_t{}); }) {
            Tries(d, StepTries, [&] {
                c.Gmax =
                    row.Gmax == GmaxStep::DriverVersion ? d.ClbReadGmax(slot.SoftwareVersion()) : d.ClbReadGmax(ch);
            });
            if (d.LastError() != 0) return failed(d.LastError());
        } else {
            NotOffered("ClbReadGmax(argument)");
        }
        break;
    case GmaxStep::None:
        return true;
    }
    Advance();
    return true;
}

template <class D> bool ReadOut::ReadSensorIndex(int n, D& d)
{
    DeviceSlot& slot = FDev.Slot(n);
    if (!MeterTypeOf(slot.TypeCode()).Read.SensorIndex) return true;
    if constexpr (requires(std::uint8_t* b) { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 2), 2); }) {
        std::uint8_t b[2] = {};
        Tries(d, StepTries, [&] { d.ReadRtc2k(33, std::span<std::uint8_t>(b, 2), 2); });
        if (d.LastError() != 0) {
            Failed(n, "не прочитан индекс датчика", d.LastError());
            return false;
        }
        slot.SetSensorIndex(b[0]);
    }
    Advance();
    return true;
}

template <class D> bool ReadOut::ReadTable(int n, D& d, bool obr)
{
    CoefficientSet& c = FDev.Coefficients(n);
    std::array<float, 10>& table = obr ? c.Obr : c.K;
    const std::uint8_t ch = FDev.Slot(n).Channel();
    for (std::uint8_t i = 0; i < 10; ++i) {
        bool ok = false;
        for (int t = 0; t < StepTries && !ok; ++t) {
            if constexpr (requires(float v) { d.ClbReadK(std::uint8_t{}, std::uint8_t{}, v); }) {
                ok = obr ? d.ClbReadObr(ch, i, table[i]) : d.ClbReadK(ch, i, table[i]);
            } else {
                ok = obr ? d.ClbReadObr(i, table[i]) : d.ClbReadK(i, table[i]);
            }
        }
        if (d.LastError() != 0) {
            // Named as the window's rows name them.
            const std::string entry = i == 0 ? "К0" : i == 1 ? "Ku" : "Точка " + std::to_string(i - 1);
            Failed(n, std::string("не прочитана таблица ") + (obr ? "Obr" : "K") + ", " + entry, d.LastError());
            Advance(10 - i); // the rest of the table is not asked
            return false;
        }
        Advance();
    }
    return true;
}

ReadOut::SlotResult ReadOut::KeepTables(int n, bool whole)
{
    CoefficientSet& c = FDev.Coefficients(n);
    c.ReadDone = true;
    // Only tables read whole are worth keeping as what the meter held.
    if (whole)
        c.AsFound = CoefficientTables{c.K, c.Obr, c.Gmax};
    else
        c.AsFound.reset();
    return whole ? SlotResult::Read : SlotResult::TablesFailed;
}

ReadOut::SlotResult ReadOut::ReadSlot(int n)
{
    const ReadOutRule& row = MeterTypeOf(FDev.Slot(n).TypeCode()).Read;
    return WithDriver(FDev.Driver(n), [&](auto& d) -> SlotResult {
        if constexpr (requires { d.ClearSignature(); })
            if (row.ClearSignature) d.ClearSignature();
        if (!ReadVersion(n, d)) return SlotResult::Fatal;
        // The serial number is no failure of the read-out when it cannot be read.
        ReadSerialNumber(n, d);
        if (!ReadGmax(n, d) || !ReadSensorIndex(n, d)) return SlotResult::Fatal;
        // Both tables are always attempted; a value that cannot be read after
        // three calls ends that table and fails the read-out.
        const bool k = ReadTable(n, d, false);
        const bool obr = ReadTable(n, d, true);
        return KeepTables(n, k && obr);
    });
}
