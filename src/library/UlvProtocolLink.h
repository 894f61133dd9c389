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
#include "UlvTrace.h"
#include "UlvUtils.h"

#include <cstddef>
#include <cstdint>

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
