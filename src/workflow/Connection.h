// The connection: the port the user chose and how it is set up, and the
// Connect and Disconnect buttons (open the port, read every slot out, start
// polling; stop polling and close the port).
#pragma once

#include "DevManager.h"
#include "Host.h"
#include "UlvComPort.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class TClbThread;
class Settings;

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

// A port the user names (--port, the reference's port): COMn (1..16) through
// the settings' [Ports], or a device path. False for COM0 or COM17 and above
// (c unchanged).
bool NamePort(PortChoice& c, const std::string& port, const Settings& settings);

// Whether two device paths open the same device: the same path, or links to
// one device.
bool SameDevice(const std::string& a, const std::string& b);

// Sets the port up for the choice: COM number, device path, baud rate, line
// settings, and even parity when the line carries a relay-addressed meter (no
// parity otherwise). The port is not opened.
void SetUpPort(TulvComPort& port, const PortChoice& choice, bool relayLine);

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

    // The steps of Connect after the poller has been paused.
    enum class Opening { Open, Failed, Cancelled };
    // Sets the port up for the slots and opens it; Failed has been told.
    Opening OpenPort(const PortChoice& choice);
    // Reads every slot out, shows the coefficients and starts polling; a
    // failure closes the port and is told.
    bool ReadOutAndPoll();
    // A Connect given up: the port closed, the user told (unless the window
    // is closing), the buttons back. False.
    bool Cancelled();
    // A Connect refused: the message, the buttons back. False.
    bool Refuse(const std::string& text);

    DevManager& FDev;
    TulvComPort& FPort;
    TClbThread& FPoller;
    Host& FHost;
    std::mutex FCancelMutex;
    std::atomic<bool> FInConnect{false};
    std::atomic<bool> FCancel{false};
    std::atomic<bool> FClosing{false};
};
