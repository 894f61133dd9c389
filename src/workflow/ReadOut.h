// Connecting and reading out: the Connect and Disconnect buttons, the read-out
// of every configured slot, and the texts of the coefficient boxes.
#pragma once

#include "DevManager.h"
#include "Host.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

class TClbThread;
class TulvComPort;
class Settings;

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

// The names of the boxes of a slot: the zero box (row 0), the gain box (row 1)
// and the point boxes (rows 2..9), and the live flow box.
std::string CoefficientBoxName(int slot, int row);
std::string FlowBoxName(int slot);

constexpr BoxColour ShownColour = 0xC0DCC0; // light green

// The text of a coefficient box for a slot's type and coefficients; nothing
// when the box keeps its text (the gain box of the ultrasonic meters).
std::optional<std::string> CoefficientText(const DeviceSlot& slot, const CoefficientSet& c, int row);

// Shows one coefficient box of a slot (light green, the text above); nothing
// for an empty slot or one that has not been read out.
void ShowCoefficientBox(Host& host, int n, const DeviceSlot& slot, const CoefficientSet& c, int row);

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
    SlotResult ReadSlot(int n);
    // One step of the read-out done: the bar moves.
    void Advance(int steps = 1);
    void Failed(int n, const std::string& what, int error);

    DevManager& FDev;
    Host& FHost;
    int FStepsDone = 0;
    int FStepsTotal = 0;
    std::string FFailure;
};

// The serial port the user chose: COM1..COM16 (resolved to a device path) or a
// device path given directly (Number 0), and the baud rate.
struct PortChoice {
    int Number = 1;
    std::string Path;
    std::uint32_t Baud = 9600;
    TulvLineSettings Line; // RS-485 and echo, from the settings file
};

// The port chosen in the settings file: "Port" resolved through [Ports], "Baud".
PortChoice PortFromSettings(const Settings& settings);

// Sets the port up as the choice says, before it is opened: COM number or
// device path, baud rate, line settings, and even parity for a meter reached
// through the relay (relayParity), none otherwise.
void SetUpPort(TulvComPort& port, const PortChoice& choice, bool relayParity);

// The connection: Connect and Disconnect.
class Connection {
public:
    Connection(DevManager& dev, TulvComPort& port, TClbThread& poller, Host& host)
        : FDev(dev), FPort(port), FPoller(poller), FHost(host)
    {
    }

    // Pauses the poller and waits until it is idle, opens the port (even parity
    // when a slot holds a relay-addressed meter), reads out every slot, shows
    // the coefficients and starts polling. Any failure closes the port and
    // tells the user. True when connected.
    bool BConnectClick(const PortChoice& choice);
    // Pauses polling, waits (1.3 s of 50 ms steps, longer while the poller is
    // still inside a transaction, at most TClbThread::HandOverLimitMs) for the
    // poller to leave its transaction, and closes the port. False when the
    // wait ran out: the port stays open and the user has been told.
    bool BDisconnectClick();

    // Gives up a Connect under way, from any thread (Disconnect or Escape
    // during the read-out): the port is abandoned, so that the read-out ends at
    // once, and stays so until BConnectClick has returned; a Connect that has
    // not opened the port yet does not open it. The port is closed (and its
    // settings restored) and the user told. False when no Connect runs.
    bool CancelReadOut();
    // The window is closing: as CancelReadOut, and every later Connect ends
    // before it opens the port. Nothing is told.
    void CancelForGood();
    // Whether a Connect is under way and may still be cancelled.
    bool ReadingOut() const { return FInConnect.load(); }

    // The message of a read-out given up by the user.
    static const char* const CancelledText;

private:
    // Under the lock: abandons the port when a Connect has been cancelled.
    bool AbandonIfCancelled();

    DevManager& FDev;
    TulvComPort& FPort;
    TClbThread& FPoller;
    Host& FHost;
    std::mutex FCancelMutex;
    std::atomic<bool> FInConnect{false};
    std::atomic<bool> FCancel{false};
    std::atomic<bool> FClosing{false};
};
