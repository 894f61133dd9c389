// The relay sub-protocol (meters addressed by serial number) and the
// verification-mode commands of Tulv6xProtocol.
#include "Ulv6xProtocol.h"

#include "Cp1251.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

int FrameRelay::Complete(std::uint8_t* frame, std::uint32_t addr)
{
    frame[0] = Frame6x::RequestStart;
    for (int i = 0; i < 4; ++i) frame[1 + i] = static_cast<std::uint8_t>(addr >> (8 * i));
    const int n = frame[7];
    frame[8 + n] = Frame6x::Checksum(frame, 8 + n);
    return n + 9;
}

TulvFrameFields FrameRelay::Decode(const std::uint8_t* b, std::size_t count, bool request)
{
    TulvFrameFields f;
    if (count >= 5) {
        std::uint32_t serial = 0;
        for (int i = 0; i < 4; ++i) serial |= static_cast<std::uint32_t>(b[1 + i]) << (8 * i);
        f.Address = std::to_string(serial);
        if (serial == BroadcastAddr) f.Address += " (всем)";
    }
    if (count < 8) return f;
    const int n = b[7];
    const int have = static_cast<int>(std::min<std::size_t>(n, count - 8));
    Frame6x::DescribeCommand(b[5], b[6], b + 8, have, request, f);
    if (count >= static_cast<std::size_t>(n) + 9) f.Checksum = Frame6x::Checksum(b, n + 8) == b[n + 8] ? 1 : 0;
    return f;
}

// --- Relay framing and transactions ------------------------------------------

bool Tulv6xProtocol::GZU_SendPkt(std::uint8_t Count)
{
    return SendRequest(TulvTraceFamily::Relay, FRequest.data(), Count, Writes::ByteByByte);
}

std::uint8_t Tulv6xProtocol::GZU_ReceivePkt()
{
    if (FComPort == nullptr) {
        FLastError = ErrPortRead;
        return 0;
    }
    const bool traced = FComPort->Trace() != nullptr;
    const std::uint64_t traceStart = traced ? FComPort->Clock().NowMs() : 0;
    std::vector<std::uint8_t> noise;
    auto done = [&](ProtocolErrorCode code, int taken) -> std::uint8_t {
        FLastError = code;
        if (traced)
            TraceReceive(FComPort, TulvTraceFamily::Relay, noise, FReply.data(), static_cast<std::size_t>(taken), code,
                         traceStart);
        return code == ErrOk ? static_cast<std::uint8_t>(taken) : 0;
    };
    Pause(10);
    int pos = 0;
    int expected = 9;
    const std::uint64_t huntEnd = FComPort->StartByteDeadline(FPacketTimeout);
    while (pos < expected) {
        const std::uint32_t timeout = pos == 0 ? FPacketTimeout : FByteTimeout;
        std::uint8_t b = 0;
        if (!FComPort->PollByte(timeout, b)) return done(ErrPortRead, pos);
        if (pos == 0 && b != Frame6x::ReplyStart) {
            // Noise before the start byte, as in the plain receive: bounded.
            if (traced) noise.push_back(b);
            if (FComPort->Clock().NowMs() > huntEnd) return done(ErrPortRead, 0);
            continue;
        }
        FReply[pos] = b;
        if (pos == 7) {
            // N + 9 must fit 255 bytes (the length is returned as a byte and the
            // frame lands in a 256-byte buffer); the rest of such a frame is thrown away.
            if (b > FrameRelay::MaxData) {
                FComPort->Purge();
                return done(ErrPacketSize, pos + 1);
            }
            expected = b + 9;
        }
        ++pos;
    }
    if (Frame6x::Checksum(FReply.data(), expected - 1) != FReply[expected - 1]) return done(ErrChecksum, expected);
    return done(ErrOk, expected);
}

bool Tulv6xProtocol::GZU_SendReceivePkt()
{
    if (FComPort == nullptr) {
        FLastError = ErrPortWrite;
        return false;
    }
    const int length = FrameRelay::Complete(FRequest.data(), FGZU_NetAddr);
    int attempt = 0;
    for (; attempt < FRepeatCount; ++attempt) {
        if (attempt > 0) TraceOutcome(FComPort, TulvTraceFamily::Relay, TulvTraceKind::Repeat, attempt + 1u, FRepeatCount);
        GZU_SendPkt(static_cast<std::uint8_t>(length));
        GZU_ReceivePkt();
        if (FLastError == ErrOk) break;
        if (FComPort->Lost()) break; // a device that has gone away will not answer the repeats
    }
    FComPort->EndExchange(attempt == 0 && FLastError == ErrOk, FPacketTimeout);
    return FLastError == ErrOk;
}

void Tulv6xProtocol::GZU_SendBroadcast()
{
    const int length = FrameRelay::Complete(FRequest.data(), FrameRelay::BroadcastAddr);
    if (GZU_SendPkt(static_cast<std::uint8_t>(length))) FLastError = ErrOk;
}

// --- Relay commands ----------------------------------------------------------

void Tulv6xProtocol::GZU_PutRequest(std::uint8_t group, std::uint8_t command, std::span<const std::uint8_t> data)
{
    if (data.size() > static_cast<size_t>(FrameRelay::MaxData))
        throw std::invalid_argument("relay request carries more than 246 data bytes");
    FRequest[5] = group;
    FRequest[6] = command;
    FRequest[7] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), FRequest.begin() + 8);
}

bool Tulv6xProtocol::GZU_AddrRequest(std::uint8_t group, std::uint8_t command, std::uint16_t addr,
                                     std::span<const std::uint8_t> data)
{
    if (data.size() > static_cast<size_t>(FrameRelay::MaxData - 2))
        throw std::invalid_argument("relay write carries more than 244 bytes");
    std::uint8_t req[FrameRelay::MaxData];
    req[0] = static_cast<std::uint8_t>(addr >> 8);
    req[1] = static_cast<std::uint8_t>(addr);
    std::copy(data.begin(), data.end(), req + 2);
    GZU_PutRequest(group, command, std::span<const std::uint8_t>(req, data.size() + 2));
    return GZU_SendReceivePkt();
}

bool Tulv6xProtocol::GZU_CopyReplyData(std::span<std::uint8_t> dst, size_t limit)
{
    const size_t n = std::min<size_t>(FReply[7], limit);
    if (n > dst.size()) {
        FLastError = ErrPacketSize;
        TraceOutcome(FComPort, TulvTraceFamily::Relay, TulvTraceKind::Error, ErrPacketSize);
        return false;
    }
    std::copy(FReply.begin() + 8, FReply.begin() + 8 + n, dst.begin());
    return true;
}

void Tulv6xProtocol::GZU_TextCommand(std::uint8_t command, std::string& S)
{
    S.clear();
    GZU_PutRequest(0x00, command, {});
    if (GZU_SendReceivePkt())
        S = Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(FReply.data() + 8), FReply[7]));
}

void Tulv6xProtocol::GZU_GetDevID(std::string& S)
{
    GZU_TextCommand(0x00, S);
}

void Tulv6xProtocol::GZU_GetDevPOver(std::string& S)
{
    GZU_TextCommand(0x01, S);
}

void Tulv6xProtocol::GZU_GetSoftSubVer(std::string& S)
{
    GZU_TextCommand(0x03, S);
}

void Tulv6xProtocol::GZU_ReadRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    const std::uint8_t count[1] = {Count};
    if (GZU_AddrRequest(0x0F, 0x01, Addr, count)) GZU_CopyReplyData(Data, FrameRelay::MaxData);
}

void Tulv6xProtocol::GZU_ReadRam(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    const std::uint8_t count[1] = {Count};
    if (GZU_AddrRequest(0x0C, 0x01, Addr, count)) GZU_CopyReplyData(Data, FrameRelay::MaxData);
}

namespace {
std::span<const std::uint8_t> FirstBytes(std::span<std::uint8_t> data, std::uint8_t count)
{
    if (count > data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    return std::span<const std::uint8_t>(data.data(), count);
}
} // namespace

void Tulv6xProtocol::GZU_WriteRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    // The meter echoes what it stored; at most the first 8 bytes come back, and
    // never more than Data holds.
    if (GZU_AddrRequest(0x0F, 0x81, Addr, FirstBytes(Data, Count)))
        GZU_CopyReplyData(Data, std::min<size_t>(8, Data.size()));
}

void Tulv6xProtocol::GZU_Write_Rtc2k_new(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (GZU_AddrRequest(0x0A, 0x42, Addr, FirstBytes(Data, Count))) GZU_CopyReplyData(Data, FrameRelay::MaxData);
}

void Tulv6xProtocol::GZU_ResetClbTable()
{
    GZU_PutRequest(0x0F, 0x64, {});
    GZU_SendReceivePkt();
}

void Tulv6xProtocol::GZU_Broadcast(std::uint8_t group, std::uint8_t command)
{
    GZU_PutRequest(group, command, {});
    GZU_SendBroadcast();
}

void Tulv6xProtocol::GZU_StartPoverka()
{
    GZU_Broadcast(0x31, 0x7A);
}

void Tulv6xProtocol::GZU_StopPoverka()
{
    GZU_Broadcast(0xA8, 0x53);
}

// --- Verification mode -------------------------------------------------------

void Tulv6xProtocol::KU_Broadcast(std::uint8_t group, std::uint8_t command)
{
    if (!CheckPort(PortCheck::Auto)) return;
    // Always address 0, whatever NetAddr says.
    FRequest[0] = Frame6x::RequestStart;
    FRequest[1] = 0x00;
    FRequest[2] = 0xFF;
    FRequest[3] = group;
    FRequest[4] = command;
    FRequest[5] = 0;
    FRequest[6] = Frame6x::Checksum(FRequest.data(), 6);
    if (SendFrame(7)) FLastError = ErrOk;
}

void Tulv6xProtocol::KU_StartPoverka()
{
    KU_Broadcast(0x31, 0x7A);
}

void Tulv6xProtocol::KU_StopPoverka()
{
    KU_Broadcast(0xA8, 0x53);
}

bool Tulv6xProtocol::KU_Query(std::uint8_t group, std::uint8_t command, std::span<const std::uint8_t> data)
{
    if (!Command(PortCheck::Auto, false, group, command, data, -1)) return false;
    if (FReply[5] == 0) {
        // No data byte to confirm anything (offset 6 would be the checksum).
        FLastError = ErrPacketSize;
        TraceOutcome(FComPort, TulvTraceFamily::Proto6x, TulvTraceKind::Error, ErrPacketSize);
        return false;
    }
    return FReply[6] != 0;
}

bool Tulv6xProtocol::KU_StartAmpClb()
{
    return KU_Query(0x21, 0x01, {});
}

bool Tulv6xProtocol::KU_StopAmpClb()
{
    return KU_Query(0x21, 0x02, {});
}

bool Tulv6xProtocol::KU_SetAmpClbFHL(std::uint8_t A, std::uint8_t B)
{
    const std::uint8_t data[2] = {A, B};
    return KU_Query(0x21, 0x03, data);
}

bool Tulv6xProtocol::KU_SetAmpClbPoint(std::uint8_t P)
{
    const std::uint8_t data[1] = {P};
    return KU_Query(0x21, 0x04, data);
}

bool Tulv6xProtocol::KU_StartAmpClbMeasure()
{
    return KU_Query(0x21, 0x05, {});
}

bool Tulv6xProtocol::KU_StopAmpClbMeasure()
{
    return KU_Query(0x21, 0x06, {});
}

bool Tulv6xProtocol::KU_IsAmpClb_Started()
{
    return KU_Query(0x22, 0x01, {});
}

bool Tulv6xProtocol::KU_IsAmpClbFHL_Setuped()
{
    return KU_Query(0x22, 0x03, {});
}

bool Tulv6xProtocol::KU_IsAmpClbPoint_Setuped()
{
    return KU_Query(0x22, 0x04, {});
}

bool Tulv6xProtocol::KU_IsAmpClbMeasure_Started()
{
    return KU_Query(0x22, 0x05, {});
}

bool Tulv6xProtocol::KU_ResetK()
{
    return KU_Query(0x0F, 0x64, {});
}
