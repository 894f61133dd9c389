#include "ReadOut.h"

#include "ClbThread.h"
#include "DeviceCatalogue.h"
#include "NumberText.h"
#include "SerialPorts.h"
#include "Settings.h"
#include "UltrasonicTables.h"
#include "UlvComPort.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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

// --- What the read-out runs, per type code --------------------------------------

namespace {

enum class VersionStep { None, RuleA, RuleB, RuleC, RuleD, RuleE, PoVersion };
enum class GmaxStep {
    None,
    MemoryReversed, // 4 bytes at address + per-channel step, most significant first
    MemoryAsStored, // 4 bytes at address + per-channel step, as they come
    Driver,         // ClbReadGmax()
    DriverVersion,  // ClbReadGmax(SoftwareVersion)
    DriverChannel,  // ClbReadGmax(ch)
};

struct ReadOutRow {
    bool clearSignature;
    VersionStep version;
    int versionTries;
    bool serialGuarded;
    GmaxStep gmax;
    std::uint16_t gmaxAddress;
    std::uint16_t gmaxPerChannel; // added once per channel number
    bool sensorIndex;             // 2 bytes at 33: the sensor index
};
// The table reads take the slot's channel wherever the driver's ClbReadK does.

using V = VersionStep;
using G = GmaxStep;
// clang-format off
constexpr ReadOutRow ReadOutTable[17] = {
    //  clear  version     tries serial  Gmax            addr /ch   sensor
    {false, V::None,      0, false, G::None,           0,    0, false}, // 0: no device
    {true,  V::RuleA,     3, true,  G::MemoryReversed, 200,  4,  false}, // 1 КВТ-64
    {true,  V::RuleB,     1, false, G::DriverVersion,  0,    0,  false}, // 2 КВТ-64-1
    {true,  V::RuleC,     1, true,  G::MemoryReversed, 9,    0,  false}, // 3 КВТ-64К
    {true,  V::None,      0, true,  G::MemoryReversed, 304,  4,  false}, // 4 КВТ-66
    {true,  V::RuleD,     3, true,  G::MemoryReversed, 304,  4,  false}, // 5 КВТ-76
    {true,  V::None,      0, true,  G::MemoryAsStored, 1156, 4,  false}, // 6 КВТ-64M
    {true,  V::None,      0, true,  G::MemoryAsStored, 130,  0, false}, // 7 КВТ-64M1
    {true,  V::PoVersion, 3, false, G::Driver,         0,    0,  false}, // 8 ДЛН-08.03С
    {false, V::None,      0, false, G::Driver,         0,    0,  false}, // 9 ДЛН-08.05
    {true,  V::RuleE,     3, false, G::Driver,         0,    0,  false}, // 10 ДЛН-08.05С
    {false, V::None,      0, false, G::DriverChannel,  0,    0,  false}, // 11 ДЛН-08.07
    {true,  V::None,      0, false, G::Driver,         0,    0,  false}, // 12 ДЛН-08.07С
    {true,  V::None,      0, true,  G::MemoryAsStored, 104,  0, false}, // 13 ДЛН-08.09
    {true,  V::None,      0, true,  G::MemoryAsStored, 35,   0, false}, // 14 КВТ-64КУ
    {true,  V::None,      0, true,  G::MemoryAsStored, 35,   0,  true }, // 15 ГЗУ-08
    {false, V::None,      0, false, G::DriverChannel,  0,    0,  false}, // 16 КВТ-09M4
};
// clang-format on

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

// --- Box texts ----------------------------------------------------------------

std::string CoefficientBoxName(int slot, int row)
{
    const std::string n = "0" + std::to_string(slot);
    if (row == 0) return "EZero" + n;
    if (row == 1) return "EKU" + n;
    return "EG" + n + std::to_string(row - 1);
}

std::string FlowBoxName(int slot)
{
    return "EG0" + std::to_string(slot);
}

std::optional<std::string> CoefficientText(const DeviceSlot& slot, const CoefficientSet& c, int row)
{
    const int code = slot.TypeCode();
    const bool ultrasonic = code == 14 || code == 15;
    const double gmax = c.Gmax;
    if (row == 1) {
        if (ultrasonic) return std::nullopt;
        return FormatValue(6, c.K[1]);
    }
    const double k = c.K[row];
    double shown;
    if (ultrasonic) {
        // A sensor index beyond the divisor table has no divisor: no value is shown.
        auto divisor = SensorDivisor(slot.SensorIndex());
        if (!divisor) return std::string("error");
        shown = gmax * (k / *divisor);
    } else if (row == 0 && code == 1) {
        shown = k * gmax / static_cast<double>(26214.0f);
    } else if (row == 0 && (code == 6 || code == 7 || code == 9)) {
        shown = k;
    } else {
        shown = k * gmax;
    }
    return FormatValue(6, static_cast<float>(shown));
}

void ShowCoefficientBox(Host& host, int n, const DeviceSlot& slot, const CoefficientSet& c, int row)
{
    if (!c.ReadDone || slot.TypeCode() == 0) return;
    host.SetBox(CoefficientBoxName(n, row), CoefficientText(slot, c, row), ShownColour);
}

void ReadOut::ShowCoefficient(int row)
{
    for (int n = 1; n <= 2; ++n) ShowCoefficientBox(FHost, n, FDev.Slot(n), FDev.Coefficients(n), row);
}

// --- The read-out -----------------------------------------------------------

namespace {

bool ReadOutSlot(DevManager& dev, int n)
{
    const auto code = dev.Slot(n).TypeCode();
    return code != 0 && code <= 16 && HasDriver(dev.Driver(n));
}

// The steps of a slot's read-out that move the bar.
int StepsOf(const ReadOutRow& row)
{
    return (row.version != VersionStep::None ? 1 : 0) + 1 + (row.gmax != GmaxStep::None ? 1 : 0) +
           (row.sensorIndex ? 1 : 0) + 20;
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
    const int code = slot.TypeCode();
    const DeviceTypeInfo* info = FindDeviceType(static_cast<DeviceTypeCode>(code));
    std::string text = "Прибор " + std::to_string(n) + " (";
    if (info) text += std::string(info->DisplayName) + ", ";
    if (code == 14 || code == 15)
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
        if (ReadOutSlot(FDev, n)) FStepsTotal += StepsOf(ReadOutTable[FDev.Slot(n).TypeCode()]);
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

ReadOut::SlotResult ReadOut::ReadSlot(int n)
{
    DeviceSlot& slot = FDev.Slot(n);
    CoefficientSet& c = FDev.Coefficients(n);
    const ReadOutRow& row = ReadOutTable[slot.TypeCode()];
    const std::uint8_t ch = slot.Channel();

    return WithDriver(FDev.Driver(n), [&](auto& d) -> SlotResult {
        constexpr auto Fatal = SlotResult::Fatal;
        if constexpr (requires { d.ClearSignature(); })
            if (row.clearSignature) d.ClearSignature();

        // Version.
        if (row.version != VersionStep::None) {
            Tries(d, row.versionTries, [&] {
                try {
                    std::optional<float> v;
                    if constexpr (requires(std::string s) { d.GetSoftVer(s); d.GetSoftSubVer(s); d.GetSoftVer64_1(s); }) {
                        std::string V, S;
                        switch (row.version) {
                        case VersionStep::RuleA:
                        case VersionStep::RuleC:
                            d.GetSoftVer(V);
                            if (d.LastError() != 0) break;
                            // The sub-version is asked only where the rule uses it.
                            if ((row.version == VersionStep::RuleA && V.size() >= 3 && V[2] == 'S') ||
                                (row.version == VersionStep::RuleC && V.size() >= 2 && V[1] == '2')) {
                                d.GetSoftSubVer(S);
                                if (d.LastError() != 0) S.clear();
                            }
                            v = row.version == VersionStep::RuleA ? VersionRules::RuleA(V, S)
                                                                  : VersionRules::RuleC(V, S);
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
                    slot.SetSoftwareVersion(v.value_or(0.0f));
                } catch (const std::logic_error&) {
                    throw;
                } catch (const std::exception&) {
                    // Guarded: a version text that is no number gives version 0.
                    slot.SetSoftwareVersion(0.0f);
                }
            });
            if (row.version == VersionStep::RuleB && slot.SoftwareVersion() == 0.0f) {
                Failed(n, "не прочитана версия программы", d.LastError());
                return Fatal;
            }
            if (row.version == VersionStep::PoVersion) {
                if (d.LastError() != 0) {
                    Failed(n, "не прочитана версия программы", d.LastError());
                    return Fatal;
                }
                if constexpr (requires { d.GetDevice_Modification(); })
                    slot.SetModification(d.GetDevice_Modification());
            }
            Advance();
        }

        // Serial number: not a failure of the read-out when it cannot be read.
        {
            std::string text;
            Tries(d, StepTries, [&] {
                if (row.serialGuarded) {
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

        // Gmax (fatal).
        auto gmaxFailed = [&](int error) {
            Failed(n, "не прочитан Gmax", error);
            return Fatal;
        };
        switch (row.gmax) {
        case GmaxStep::MemoryReversed:
        case GmaxStep::MemoryAsStored:
            if constexpr (requires(std::uint8_t* b) { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 4), 4); }) {
                const std::uint16_t addr = static_cast<std::uint16_t>(row.gmaxAddress + row.gmaxPerChannel * ch);
                std::uint8_t b[4] = {};
                Tries(d, StepTries, [&] { d.ReadRtc2k(addr, std::span<std::uint8_t>(b, 4), 4); });
                if (d.LastError() != 0) return gmaxFailed(d.LastError());
                if (row.gmax == GmaxStep::MemoryReversed) SwapBytes4(b);
                std::memcpy(&c.Gmax, b, 4);
            } else {
                NotOffered("ReadRtc2k");
            }
            break;
        case GmaxStep::Driver:
            if constexpr (requires { d.ClbReadGmax(); }) {
                Tries(d, StepTries, [&] { c.Gmax = d.ClbReadGmax(); });
                if (d.LastError() != 0) return gmaxFailed(d.LastError());
            } else {
                NotOffered("ClbReadGmax()");
            }
            break;
        case GmaxStep::DriverVersion:
        case GmaxStep::DriverChannel:
            if constexpr (requires { d.ClbReadGmax(std::uint8_t{}); }) {
                Tries(d, StepTries, [&] {
                    c.Gmax = row.gmax == GmaxStep::DriverVersion ? d.ClbReadGmax(slot.SoftwareVersion())
                                                                 : d.ClbReadGmax(ch);
                });
                if (d.LastError() != 0) return gmaxFailed(d.LastError());
            } else {
                NotOffered("ClbReadGmax(argument)");
            }
            break;
        case GmaxStep::None:
            break;
        }
        if (row.gmax != GmaxStep::None) Advance();

        // Sensor index (fatal).
        if (row.sensorIndex) {
            if constexpr (requires(std::uint8_t* b) { d.ReadRtc2k(std::uint16_t{}, std::span<std::uint8_t>(b, 2), 2); }) {
                std::uint8_t b[2] = {};
                Tries(d, StepTries, [&] { d.ReadRtc2k(33, std::span<std::uint8_t>(b, 2), 2); });
                if (d.LastError() != 0) {
                    Failed(n, "не прочитан индекс датчика", d.LastError());
                    return Fatal;
                }
                slot.SetSensorIndex(b[0]);
            }
            Advance();
        }

        // The two tables: both always attempted; a value that cannot be read
        // after three calls ends that table and fails the read-out.
        bool tablesOk = true;
        auto readTable = [&](std::array<float, 10>& table, bool obr) {
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
                    tablesOk = false;
                    // Named as the window's rows name them.
                    const std::string entry = i == 0 ? "К0" : i == 1 ? "Ku" : "Точка " + std::to_string(i - 1);
                    Failed(n, std::string("не прочитана таблица ") + (obr ? "Obr" : "K") + ", " + entry, d.LastError());
                    Advance(10 - i); // the rest of the table is not asked
                    return;
                }
                Advance();
            }
        };
        readTable(c.K, false);
        readTable(c.Obr, true);
        c.ReadDone = true;
        // Only tables read whole are worth keeping as what the meter held.
        if (tablesOk) c.AsFound = CoefficientTables{c.K, c.Obr, c.Gmax};
        else c.AsFound.reset();
        return tablesOk ? SlotResult::Read : SlotResult::TablesFailed;
    });
}

// --- Connect and Disconnect ---------------------------------------------------------

namespace {
const char* const ErrorCaption = "Ошибка";
}

PortChoice PortFromSettings(const Settings& settings)
{
    PortChoice c;
    c.Number = settings.Port();
    c.Path = settings.PortPath(c.Number);
    c.Baud = settings.Baud() == 0 ? 9600 : 19200;
    c.Line = settings.Line();
    // A device chosen by its stable name goes before the COM number.
    if (const std::string device = settings.Device(); !device.empty()) {
        c.Number = 0;
        c.Path = device;
    }
    return c;
}

void SetUpPort(TulvComPort& port, const PortChoice& choice, bool relayParity)
{
    port.SetComPort(static_cast<std::uint8_t>(choice.Number));
    port.SetDevicePath(choice.Path);
    port.SetBaudRate(choice.Baud);
    port.SetLine(choice.Line);
    port.SetParity(relayParity ? 2 : 0);
}

const char* const Connection::CancelledText = "Чтение данных прервано. Порт закрыт.";

bool Connection::CancelReadOut()
{
    std::lock_guard<std::mutex> lock(FCancelMutex);
    if (!FInConnect) return false;
    FCancel = true;
    FPort.Abandon();
    return true;
}

void Connection::CancelForGood()
{
    std::lock_guard<std::mutex> lock(FCancelMutex);
    FClosing = true;
    if (!FInConnect) return;
    FCancel = true;
    FPort.Abandon();
}

bool Connection::AbandonIfCancelled()
{
    std::lock_guard<std::mutex> lock(FCancelMutex);
    // Open clears the port's abandon: one that came while it opened is renewed.
    if (FCancel) FPort.Abandon();
    return FCancel;
}

bool Connection::BConnectClick(const PortChoice& choice)
{
    {
        std::lock_guard<std::mutex> lock(FCancelMutex);
        FInConnect = true;
        FCancel = FClosing.load();
    }
    // However it ends, a cancel no longer applies once it has.
    struct EndOfConnect {
        Connection& c;
        ~EndOfConnect()
        {
            std::lock_guard<std::mutex> lock(c.FCancelMutex);
            c.FInConnect = false;
            c.FCancel = false;
        }
    } endOfConnect{*this};
    auto cancelled = [&] {
        if (FPort.Opened()) FPort.Close();
        if (!FClosing) FHost.MessageBox(CancelledText, "Предупреждение", MsgIcon::Warning, MsgButtons::Ok);
        FHost.SetConnectButtons(true, false);
        return false;
    };

    FHost.SetConnectButtons(false, false);
    // The poller must be idle before the port opens: a slot whose poll box is
    // ticked would otherwise be polled while the read-out runs.
    FPoller.SetState(TClbThread::Pause);
    if (!FPoller.WaitNotBusy(26)) {
        FHost.SetConnectButtons(true, false);
        return false;
    }
    if (FCancel) return cancelled();
    bool relay = false;
    for (int n = 1; n <= 2; ++n) relay = relay || FDev.Slot(n).TypeCode() == 14 || FDev.Slot(n).TypeCode() == 15;
    SetUpPort(FPort, choice, relay);

    if (!FPort.Open()) {
        if (FCancel) return cancelled();
        const std::string name = choice.Number > 0 ? "COM" + std::to_string(choice.Number) : choice.Path;
        std::string text = "Невозможно открыть порт " + name + "\n" + FPort.OpenErrorText();
        const std::string advice = DiagnoseOpenFailure(FPort.ResolvedPath(), FPort.OpenError());
        if (!advice.empty()) text += "\n" + advice;
        FHost.MessageBox(text, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        FHost.SetConnectButtons(true, false);
        return false;
    }
    if (AbandonIfCancelled()) return cancelled();
    if (!FPort.OpenNotice().empty())
        FHost.MessageBox(FPort.OpenNotice(), "Предупреждение", MsgIcon::Warning, MsgButtons::Ok);
    bool any = false;
    for (int n = 1; n <= 2; ++n) {
        FDev.Coefficients(n).PollEnabled = FHost.PollBoxChecked(n);
        any = any || FDev.Slot(n).TypeCode() != 0;
    }
    if (!any) {
        FPort.Close();
        FHost.MessageBox("Не найдено ни одного прибора", ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        FHost.SetConnectButtons(true, false);
        return false;
    }

    ReadOut readOut(FDev, FHost);
    bool ok = false;
    try {
        ok = readOut.ReadAllDevices();
    } catch (const std::exception&) {
        if (FCancel) return cancelled();
        FPort.Close();
        FHost.MessageBox("EXCEPTION", ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        FHost.SetConnectButtons(true, false);
        return false;
    }
    {
        // From here on the read-out is done: a cancel that came during it
        // still counts, one that comes later finds no Connect to cancel.
        std::lock_guard<std::mutex> lock(FCancelMutex);
        if (!FCancel) FInConnect = false;
    }
    if (FCancel) return cancelled();
    if (!ok) {
        FPort.Close();
        std::string text = FPort.Lost() ? "Ошибка чтения данных: связь с портом " + FPort.ResolvedPath() + " потеряна"
                                        : std::string("Ошибка чтения данных");
        // Which meter failed, and at which step.
        if (!readOut.FailureText().empty()) text += "\n" + readOut.FailureText();
        if (!FPort.EchoErrorText().empty()) text += "\n" + FPort.EchoErrorText();
        FHost.MessageBox(text, ErrorCaption, MsgIcon::Error, MsgButtons::Ok);
        FHost.SetConnectButtons(true, false);
        return false;
    }
    for (int row = 0; row <= 9; ++row) readOut.ShowCoefficient(row);
    FHost.SetConnectButtons(false, true);
    FPoller.SetState(TClbThread::Run);
    return true;
}

bool Connection::BDisconnectClick()
{
    FPoller.SetState(TClbThread::Pause);
    // At most 26 sleeps of 50 ms; if the poller is still inside a transaction
    // then, wait on for it (bounded) rather than close the port under it.
    if (!FPoller.WaitNotBusy(26)) {
        // Told by the wait; the port stays the poller's, which stops once its
        // transaction ends. Disconnect can be pressed again.
        FHost.SetConnectButtons(false, true);
        return false;
    }
    if (FPort.Opened()) FPort.Close();
    FHost.SetConnectButtons(true, false);
    FHost.SetProgress(0, 0, 0);
    return true;
}
