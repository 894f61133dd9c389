#include "UlvProtocolLink.h"

#include <algorithm>

std::uint32_t ClampTimeout(std::uint32_t oldValue, std::uint32_t newValue, std::uint32_t lo, std::uint32_t hi)
{
    std::uint32_t v = newValue - newValue % 10;
    return (v >= lo && v <= hi) ? v : oldValue;
}

void TulvProtocolLink::SetComPort(TulvPort* port)
{
    if (port != nullptr) FComPort = port;
}

void TulvProtocolLink::SetRepeatCount(std::uint8_t v)
{
    if (v >= 1 && v <= 24) FRepeatCount = v;
}

void TulvProtocolLink::SetPacketTimeout(std::uint32_t v)
{
    FPacketTimeout = ClampTimeout(FPacketTimeout, v, 10, 9990);
}

void TulvProtocolLink::SetByteTimeout(std::uint32_t v)
{
    FByteTimeout = ClampTimeout(FByteTimeout, v, 10, 2990);
}

void TulvProtocolLink::SetNetAddr(std::uint8_t v)
{
    if (v <= 127) FNetAddr = v;
}

void TulvProtocolLink::Pause(std::uint32_t ms)
{
    (FComPort ? FComPort->Clock() : RealClock()).SleepMs(ms);
}

bool TulvProtocolLink::SendRequest(TulvTraceFamily family, const std::uint8_t* request, std::size_t count,
                                   Writes writes)
{
    if (FComPort == nullptr) {
        FLastError = ErrPortWrite;
        return false;
    }
    FComPort->BeginRequest();
    if (FComPort->Trace()) {
        const auto dropped = FComPort->TakeDropped();
        if (!dropped.empty()) TraceBytes(FComPort, family, TulvTraceKind::Dropped, dropped.data(), dropped.size());
        TraceBytes(FComPort, family, TulvTraceKind::Sent, request, count);
    }
    bool written = true;
    if (writes == Writes::Whole) {
        written = FComPort->WriteBuffer(request, static_cast<int>(count));
    } else {
        for (std::size_t i = 0; i < count && written; ++i)
            written = FComPort->WriteByte(request[i]);
    }
    if (!written) {
        FLastError = ErrPortWrite;
        TraceOutcome(FComPort, family, TulvTraceKind::Error, ErrPortWrite);
        return false;
    }
    return true;
}

void TraceReceive(TulvPort* port, TulvTraceFamily family, const std::vector<std::uint8_t>& noise,
                  const std::uint8_t* taken, std::size_t count, ProtocolErrorCode code, std::uint64_t startMs)
{
    if (port == nullptr || port->Trace() == nullptr) return;
    if (!noise.empty()) TraceBytes(port, family, TulvTraceKind::Noise, noise.data(), noise.size());
    if (count > 0) TraceBytes(port, family, TulvTraceKind::Received, taken, count);
    if (code == ErrOk)
        TraceOutcome(port, family, TulvTraceKind::Answer);
    else if (code == ErrPortRead)
        TraceOutcome(port, family, TulvTraceKind::Timeout,
                     static_cast<std::uint32_t>(port->Clock().NowMs() - std::min(port->Clock().NowMs(), startMs)));
    else
        TraceOutcome(port, family, TulvTraceKind::Error, code);
}
