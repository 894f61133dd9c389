// The serial port: the only path between the tool and the meters.
//
// TulvPort is the byte source and sink that the protocols talk to. The real
// implementation is TulvComPort (termios on a device path); the unit tests give
// the protocols a scripted port with a virtual clock instead.
#pragma once

#include "SystemText.h"
#include "UlvUtils.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <linux/serial.h>
#include <memory>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <utility>
#include <vector>

class TulvTraceRecorder;

class TulvPort {
public:
    virtual ~TulvPort() = default;

    // Opens and configures the port; true on success.
    virtual bool Open() = 0;
    // Closes the port; does nothing when closed.
    virtual void Close() = 0;
    // Discards every byte that has arrived and not been read; does nothing when
    // closed. Bytes written earlier still leave the port.
    virtual void Purge() = 0;
    virtual bool Opened() const = 0;

    // Takes one byte that has already arrived, without waiting; false when none has.
    virtual bool ReadByte(std::uint8_t& b) = 0;
    // Writes one byte; true when the kernel has taken it.
    virtual bool WriteByte(std::uint8_t b) = 0;
    // Writes count bytes; true when the kernel has taken every one of them.
    virtual bool WriteBuffer(const void* buf, int count) = 0;

    // Waits at most ms milliseconds for a byte to become readable, ending early
    // when one arrives (or the device goes away). Takes nothing from the queue.
    virtual void WaitForByte(std::uint32_t ms) = 0;

    // True once the device has gone away while open (hang-up, unplugged adapter);
    // cleared by the next successful Open.
    virtual bool Lost() const = 0;

    // The clock on which every pause of a transaction on this port runs.
    virtual TulvClock& Clock() = 0;

    // The device the port stands for, as messages name it (empty when unknown).
    virtual std::string Name() const { return {}; }

    // True when the echo of the request just sent went wrong (see
    // TulvLineSettings::EchoFilter): the attempt is over, no reply is read.
    // Cleared by the next Purge (every request begins with one).
    virtual bool EchoFailed() const { return false; }

    // The polling rule of every receiver: try ReadByte; after each miss wait up to
    // 10 ms on the port and count the miss; give up when the misses exceed
    // timeoutMs div 10 (so at most timeoutMs div 10 + 1 polls), or at once when
    // the device has gone away or the request's echo failed. True when a byte
    // was taken.
    bool PollByte(std::uint32_t timeoutMs, std::uint8_t& b);

    // The time count bytes need on the wire, in whole milliseconds rounded up
    // (10 bits a byte at 9600 baud, the slower line the tool uses, unless the
    // port knows its speed).
    virtual std::uint32_t WireTimeMs(std::size_t bytes) const;

    // When a receiver looking for a reply's start byte gives up on a line that
    // keeps sending something else. Each byte before the start byte restarts
    // the first-byte wait (a stray byte must not cost the reply), so without a
    // limit a line that never falls silent (a floating bus, a jabbering
    // adapter) would hold an attempt forever. A byte skipped after this moment
    // ends the attempt: it is twice the packet timeout (a stray byte late in
    // the wait still gets a full wait after it) and the time the longest frame
    // (255 bytes: an echo of the request, another device's frame) needs on the
    // wire, counted from the start of the receive. An attempt thus ends within
    // three packet timeouts, that wire time and its frame. Receivers without a
    // start-byte search (M4, ModBus) take every byte into a frame of known
    // length, so their attempts end after at most one frame.
    std::uint64_t StartByteDeadline(std::uint32_t packetTimeoutMs);
    static constexpr std::size_t LongestFrame = 255;

    // Late replies. A request whose last attempt went unanswered (or whose
    // answer may have been an earlier attempt's reply) can still be answered
    // after the protocol gave up on it. EndExchange records that: when clean is
    // false, a reply may arrive until 1.5 packet timeouts after the last request
    // began.
    // BeginRequest, which every protocol calls before it sends, waits that
    // moment out, drops whatever has arrived, and purges, so that a late reply
    // never passes for the answer to the next request.
    void EndExchange(bool clean, std::uint32_t packetTimeoutMs);
    void BeginRequest();

    // The traffic log the protocols report to (none by default). The trace must
    // outlive its use on the port. Its times count from the moment it is set.
    TulvTraceRecorder* Trace() const { return FTrace; }
    void SetTrace(TulvTraceRecorder* trace);
    // With a trace, the bytes the last BeginRequest threw away (a late reply,
    // stray bytes), handed over once.
    std::vector<std::uint8_t> TakeDropped() { return std::exchange(FDropped, {}); }

private:
    TulvTraceRecorder* FTrace = nullptr;
    std::vector<std::uint8_t> FDropped;
    std::atomic<std::uint64_t> FLateUntilMs{0};
    std::atomic<std::uint64_t> FLastRequestMs{0};
};

// How the line is driven: off by default, a plain RS-232 or a full-duplex line.
struct TulvLineSettings {
    // RS-485 direction control by the kernel driver (TIOCSRS485): RTS switches
    // the transmitter on for each frame, with the given delays before the first
    // and after the last bit. RtsOnSend: RTS is high while sending (low after);
    // false gives the opposite levels, for adapters wired the other way.
    bool Rs485 = false;
    bool RtsOnSend = true;
    std::uint32_t DelayBeforeMs = 0;
    std::uint32_t DelayAfterMs = 0;
    // A two-wire adapter hears its own request: after each request exactly its
    // bytes are read back and dropped before the reply is read. An echo that
    // differs from the request, or that does not arrive within its wire time
    // and EchoMarginMs, ends the attempt with EchoErrorText. Not applied when
    // the port receives in its own thread.
    bool EchoFilter = false;
    bool operator==(const TulvLineSettings&) const = default;
};

class TulvCustomComPort : public TulvPort {
public:
    using TOnReceiveByteEvent = std::function<void(TulvCustomComPort* sender, std::uint8_t byteVal, std::uint32_t threadTick)>;
    using TOnReceiveTimeout = std::function<void(TulvCustomComPort* sender, std::uint32_t threadTick)>;
    // Runs a step on the main thread and waits for it; by default the step runs
    // directly on the receive thread.
    using TSynchronize = std::function<void(const std::function<void()>&)>;

    TulvCustomComPort();
    ~TulvCustomComPort() override;
    TulvCustomComPort(const TulvCustomComPort&) = delete;
    TulvCustomComPort& operator=(const TulvCustomComPort&) = delete;

    bool Open() override;
    void Close() override;
    void Purge() override;
    bool Opened() const override { return FOpened; }
    bool ReadByte(std::uint8_t& b) override;
    bool WriteByte(std::uint8_t b) override;
    bool WriteBuffer(const void* buf, int count) override;
    void WaitForByte(std::uint32_t ms) override;
    bool Lost() const override { return FLost; }
    TulvClock& Clock() override { return RealClock(); }
    // Gives the port up from any thread: every read and write fails at once, as
    // on a lost port, so that a read-out under way ends without waiting for its
    // timeouts. The device itself is still there: Close restores its settings
    // as after any other use. Closing and opening again makes it usable.
    void Abandon()
    {
        FAbandoned = true;
        FLost = true;
    }
    // Given up by Abandon since the last Open (rather than gone by itself).
    bool Abandoned() const { return FAbandoned; }
    // The device went away while open (hang-up, I/O error); cleared by Open.
    bool Gone() const { return FGone; }

    const std::string& Version() const { return FVersion; }

    // Port number; COMn resolves to /dev/ttyS<n-1> unless a device path is set.
    std::uint8_t ComPort() const { return FComPort; }
    void SetComPort(std::uint8_t v) { FComPort = v; }
    // An explicit device path (from the settings file or the command line); empty
    // means: resolve ComPort.
    const std::string& DevicePath() const { return FDevicePath; }
    void SetDevicePath(std::string path) { FDevicePath = std::move(path); }
    // The path that Open uses.
    std::string ResolvedPath() const;
    std::string Name() const override { return ResolvedPath(); }

    std::uint8_t Parity() const { return FParity; } // 0 none, 1 odd, 2 even, 3 mark, 4 space
    void SetParity(std::uint8_t v) { FParity = v; }
    std::uint32_t BaudRate() const { return FBaudRate; }
    void SetBaudRate(std::uint32_t v) { FBaudRate = v; }
    std::uint32_t ThreadInterval() const { return FThreadInterval; }
    void SetThreadInterval(std::uint32_t v);   // clamped to 10..10000
    std::uint32_t ThreadByteTimeout() const { return FThreadByteTimeout; }
    void SetThreadByteTimeout(std::uint32_t v); // clamped to 10..1000
    bool ReceiveInThread() const { return FReceiveInThread; }
    void SetReceiveInThread(bool v) { FReceiveInThread = v; }

    TOnReceiveByteEvent OnReceiveByte;
    TOnReceiveTimeout OnReceiveTimeout;
    TSynchronize Synchronize;

    // The line settings the next Open applies.
    const TulvLineSettings& Line() const { return FLine; }
    void SetLine(const TulvLineSettings& line) { FLine = line; }
    // What the last Open asked the driver for RS-485 (all zero when RS-485 is
    // off), and whether the driver took it.
    const serial_rs485& RequestedRs485() const { return FRequestedRs485; }
    bool Rs485Active() const { return FRs485Active; }
    // A notice from the last Open that the user should see once: RS-485
    // direction control asked for but refused by the driver (the port is open
    // all the same). Given by the first such Open of this port only; empty
    // otherwise.
    const std::string& OpenNotice() const { return FOpenNotice; }

    bool EchoFailed() const override { return FEchoFailed; }
    // Why the last request's echo failed (empty when it did not).
    const std::string& EchoErrorText() const { return FEchoErrorText; }
    // What the echo may take beyond its wire time (adapter and driver latency).
    static constexpr std::uint32_t EchoMarginMs = 100;

    // Why the last Open failed, the errno of the call that failed (0 after a
    // successful Open), and the message (made by PortOpenErrorText) that
    // names the device path.
    TulvOpenError OpenError() const { return FOpenError; }
    int OpenErrno() const { return FOpenErrno; }
    const std::string& OpenErrorText() const { return FOpenErrorText; }

    // The time count bytes need on the wire at the port's speed and parity, in
    // whole milliseconds rounded up.
    std::uint32_t WireTimeMs(std::size_t bytes) const override;
    // Longest wait beyond the wire time of what is queued for the output to
    // drain when the port closes; a queue that does not drain by then is dropped.
    static constexpr std::uint32_t DrainMarginMs = 200;

    // The settings the last Open asked the driver for (pseudo-terminals do not
    // keep parity, so this is what tests check).
    const termios& RequestedSettings() const { return FRequested; }

private:
    void ReceiveThreadBody(int fd, std::uint32_t byteTimeout, std::uint32_t interval, TOnReceiveByteEvent onByte,
                           TOnReceiveTimeout onTimeout, TSynchronize sync);
    bool PauseThread(std::uint32_t ms); // false when told to stop
    void StopThread();
    void MarkLostOnError(int err);
    void MarkGone()
    {
        FGone = true;
        FLost = true;
    }
    // Waits (bounded) until every byte written has left; false when the queue
    // could not be watched or did not drain in time (then it is dropped).
    bool DrainOutput();
    void ApplyRs485(int fd, const std::string& path);
    // Reads back the echo still owed for what was written, waiting at most
    // until its deadline; false (with EchoFailed set) when it went wrong.
    bool TakeEcho();
    void FailEcho(std::string text);

    int FHandle = -1;
    bool FOpened = false;
    std::atomic<bool> FLost{false};      // reads and writes fail at once
    std::atomic<bool> FGone{false};      // the device went away
    std::atomic<bool> FAbandoned{false}; // given up by Abandon
    std::string FVersion = "v1.00";
    std::uint8_t FComPort = 1;
    std::string FDevicePath;
    std::uint8_t FParity = 0;
    std::uint32_t FBaudRate = 9600;
    std::uint32_t FThreadInterval = 100;
    std::uint32_t FThreadByteTimeout = 10;
    bool FReceiveInThread = false;
    termios FSaved{};
    bool FHaveSaved = false;
    termios FRequested{};
    TulvOpenError FOpenError = TulvOpenError::None;
    int FOpenErrno = 0;
    std::string FOpenErrorText;
    TulvLineSettings FLine;
    serial_rs485 FRequestedRs485{};
    bool FRs485Active = false;
    bool FRs485Noticed = false;
    serial_rs485 FSavedRs485{};
    bool FHaveSavedRs485 = false;
    std::string FOpenNotice;
    std::vector<std::uint8_t> FEchoOwed; // written bytes whose echo has not been read
    std::size_t FEchoTaken = 0;          // how many of them have been read back
    std::uint64_t FEchoDeadlineMs = 0;
    bool FEchoFailed = false;
    std::string FEchoErrorText;

    std::thread FThread;
    std::mutex FThreadMutex;
    std::condition_variable FThreadWake;
    bool FThreadStop = false;
    std::atomic<std::uint32_t> FThreadTick{0};

public:
    // Completed bursts of the receive thread (for the events' ThreadTick).
    std::uint32_t ThreadTick() const { return FThreadTick.load(); }
};

class TulvComPort : public TulvCustomComPort {
public:
    using TulvCustomComPort::TulvCustomComPort;
};

// COMn on Linux: /dev/ttyS<n-1> (COM1 is /dev/ttyS0). 0 gives an empty path.
std::string DefaultComPath(unsigned n);
