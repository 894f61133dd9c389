// What every protocol object holds and does alike: its link to the meter.
//
// The settings (port, AutoOpenPort, EWrite, RepeatCount, PacketTimeout,
// ByteTimeout, NetAddr) with their setter rules, the outcome of the last
// operation (LastError), the pause on the port's clock, and the steps every
// request begins with. Tulv6xProtocol, TulvM4Protocol and TulvModBusProtocol
// are each one such link plus their own framing; only the initial values of
// the settings differ between them.
#pragma once

#include "UlvComPort.h"
#include "UlvTraceRecorder.h"
#include "UlvUtils.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Timeout setter rule shared by every protocol class: round down to a multiple
// of 10, keep the old value when the result is outside lo..hi.
std::uint32_t ClampTimeout(std::uint32_t oldValue, std::uint32_t newValue, std::uint32_t lo, std::uint32_t hi);

class TulvProtocolLink {
public:
    // --- Properties -------------------------------------------------------
    TulvPort* ComPort() const { return FComPort; }
    void SetComPort(TulvPort* port); // assigning none is ignored
    bool AutoOpenPort() const { return FAutoOpenPort; }
    void SetAutoOpenPort(bool v) { FAutoOpenPort = v; }
    bool EWrite() const { return FEWrite; }
    void SetEWrite(bool v) { FEWrite = v; }
    std::uint8_t RepeatCount() const { return FRepeatCount; }
    void SetRepeatCount(std::uint8_t v); // keeps only 1..24
    std::uint32_t PacketTimeout() const { return FPacketTimeout; }
    void SetPacketTimeout(std::uint32_t v); // rounded down to 10s; kept only within 10..9990
    std::uint32_t ByteTimeout() const { return FByteTimeout; }
    void SetByteTimeout(std::uint32_t v); // rounded down to 10s; kept only within 10..2990
    std::uint8_t NetAddr() const { return FNetAddr; }
    void SetNetAddr(std::uint8_t v); // keeps only 0..127
    ProtocolErrorCode LastError() const { return FLastError; }

protected:
    // The initial values of a protocol class.
    TulvProtocolLink(std::uint8_t repeatCount, std::uint32_t packetTimeout, std::uint32_t byteTimeout)
        : FRepeatCount(repeatCount), FPacketTimeout(packetTimeout), FByteTimeout(byteTimeout)
    {
    }
    ~TulvProtocolLink() = default;
    TulvProtocolLink(const TulvProtocolLink&) = delete;
    TulvProtocolLink& operator=(const TulvProtocolLink&) = delete;

    enum class Writes { Whole, ByteByByte };
    // Sends count request bytes: without a port, LastError 1 and false
    // (nothing sent). Otherwise the port waits out a late reply and purges
    // (TulvPort::BeginRequest), the trace gets what that threw away and the
    // request, and the bytes go out in one write or one write a byte. False
    // with LastError 1 at the first write that fails; true otherwise,
    // LastError untouched.
    bool SendRequest(TulvTraceFamily family, const std::uint8_t* request, std::size_t count, Writes writes);

    // Sleeps on the port's clock (the real clock when no port is assigned).
    void Pause(std::uint32_t ms);
    void SetLastError(ProtocolErrorCode code) { FLastError = code; }

    TulvPort* FComPort = nullptr;
    bool FAutoOpenPort = false;
    bool FEWrite = false;
    std::uint8_t FRepeatCount;
    std::uint32_t FPacketTimeout;
    std::uint32_t FByteTimeout;
    std::uint8_t FNetAddr = 0;
    ProtocolErrorCode FLastError = 0;
};

// The calls the protocols make to the port's trace; each does nothing when the
// port has no trace.
inline void TraceBytes(TulvPort* port, TulvTraceFamily family, TulvTraceKind kind, const std::uint8_t* bytes,
                       std::size_t count)
{
    if (port == nullptr || port->Trace() == nullptr) return;
    TulvTraceEvent e;
    e.TimeMs = port->Clock().NowMs();
    e.Family = family;
    e.Kind = kind;
    e.Bytes.assign(bytes, bytes + count);
    port->Trace()->Record(std::move(e));
}

inline void TraceOutcome(TulvPort* port, TulvTraceFamily family, TulvTraceKind kind, std::uint32_t value = 0,
                         std::uint32_t value2 = 0)
{
    if (port == nullptr || port->Trace() == nullptr) return;
    TulvTraceEvent e;
    e.TimeMs = port->Clock().NowMs();
    e.Family = family;
    e.Kind = kind;
    e.Value = value;
    e.Value2 = value2;
    port->Trace()->Record(std::move(e));
}

// The end of one receive: the noise skipped, the bytes taken, and the outcome
// (answer, timeout after the time since startMs, or the error code).
void TraceReceive(TulvPort* port, TulvTraceFamily family, const std::vector<std::uint8_t>& noise,
                  const std::uint8_t* taken, std::size_t count, ProtocolErrorCode code, std::uint64_t startMs);
