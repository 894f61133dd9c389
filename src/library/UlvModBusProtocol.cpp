#include "UlvModBusProtocol.h"

#include "Cp1251.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

// --- Frames ------------------------------------------------------------------

std::uint16_t FrameModBus::Crc(const std::uint8_t* bytes, int count)
{
    return Crc16Update(0xFFFF, bytes, count);
}

int FrameModBus::AppendCrc(std::uint8_t* frame, int count)
{
    const std::uint16_t crc = Crc(frame, count);
    frame[count] = static_cast<std::uint8_t>(crc);
    frame[count + 1] = static_cast<std::uint8_t>(crc >> 8);
    return count + 2;
}

bool FrameModBus::CrcOk(const std::uint8_t* frame, int length)
{
    if (length < 2) return false;
    const std::uint16_t crc = Crc(frame, length - 2);
    return frame[length - 2] == static_cast<std::uint8_t>(crc) &&
           frame[length - 1] == static_cast<std::uint8_t>(crc >> 8);
}

int FrameModBus::BuildReadHoldingRegisters(std::uint8_t* frame, std::uint8_t addr, std::uint16_t start,
                                           std::uint16_t count)
{
    frame[0] = addr;
    frame[1] = FnReadHoldingRegisters;
    frame[2] = static_cast<std::uint8_t>(start >> 8);
    frame[3] = static_cast<std::uint8_t>(start);
    frame[4] = static_cast<std::uint8_t>(count >> 8);
    frame[5] = static_cast<std::uint8_t>(count);
    return AppendCrc(frame, 6);
}

int FrameModBus::BuildWriteMultipleRegisters(std::uint8_t* frame, std::uint8_t addr, std::uint16_t start,
                                             std::uint16_t count, const std::uint8_t* data)
{
    frame[0] = addr;
    frame[1] = FnWriteMultipleRegisters;
    frame[2] = static_cast<std::uint8_t>(start >> 8);
    frame[3] = static_cast<std::uint8_t>(start);
    frame[4] = static_cast<std::uint8_t>(count >> 8);
    frame[5] = static_cast<std::uint8_t>(count);
    frame[6] = static_cast<std::uint8_t>(2 * count);
    std::copy(data, data + 2 * count, frame + 7);
    return AppendCrc(frame, 7 + 2 * count);
}

int FrameModBus::BuildReportSlaveId(std::uint8_t* frame, std::uint8_t addr)
{
    frame[0] = addr;
    frame[1] = FnReportSlaveId;
    return AppendCrc(frame, 2);
}

int FrameModBus::ExpectedLength(const std::uint8_t* frame, int received)
{
    if (received < 3) return 5;
    switch (frame[1]) {
    case FnReadHoldingRegisters:
        return frame[2] + 5;
    case FnWriteMultipleRegisters:
        return 8;
    case FnReportSlaveId:
        return received < 4 ? 6 : frame[3] + 6;
    default:
        return 5;
    }
}

TulvFrameFields FrameModBus::Decode(const std::uint8_t* b, std::size_t count, bool request)
{
    TulvFrameFields f;
    if (count >= 1) f.Address = b[0] == 0 ? "0 (всем)" : std::to_string(b[0]);
    if (count < 2) return f;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02X", b[1]);
    f.Command = hex;
    const std::uint8_t fn = static_cast<std::uint8_t>(b[1] & ~ExceptionFlag);
    int length = 0; // the frame's full length when known
    auto be16 = [b](int at) { return static_cast<int>(b[at] << 8 | b[at + 1]); };
    if (!request && (b[1] & ExceptionFlag) != 0) {
        f.Name = "исключение";
        length = 5;
        if (count >= 3) f.Note = "код исключения " + std::to_string(b[2]);
    } else if (fn == FnReadHoldingRegisters) {
        f.Name = "чтение регистров";
        f.Area = "holding";
        if (request) {
            length = 8;
            if (count >= 6) {
                f.Cell = be16(2);
                f.Count = be16(4);
            }
        } else if (count >= 3) {
            length = b[2] + 5;
            f.Data.assign(b + 3, b + std::min<std::size_t>(count, static_cast<std::size_t>(b[2]) + 3));
        }
    } else if (fn == FnWriteMultipleRegisters) {
        f.Name = "запись регистров";
        f.Area = "holding";
        if (count >= 6) {
            f.Cell = be16(2);
            f.Count = be16(4);
        }
        if (!request) length = 8;
        if (request && count >= 7) {
            length = b[6] + 9;
            f.Data.assign(b + 7, b + std::min<std::size_t>(count, static_cast<std::size_t>(b[6]) + 7));
        }
    } else if (fn == FnReportSlaveId) {
        f.Name = "идентификатор";
        if (request) {
            length = 4;
        } else if (count >= 4) {
            length = b[3] + 6;
            f.Data.assign(b + 4, b + std::min<std::size_t>(count, static_cast<std::size_t>(b[3]) + 4));
            f.Note = "текст \"" + Cp1251ToUtf8(std::string_view(reinterpret_cast<const char*>(f.Data.data()), f.Data.size())) + "\"";
        }
    }
    if (length == 0) length = static_cast<int>(count); // an unknown function: the frame as it came
    if (count >= static_cast<std::size_t>(length) && length >= 4) f.Checksum = CrcOk(b, length) ? 1 : 0;
    return f;
}

// --- Properties --------------------------------------------------------------

TulvModBusProtocol::TulvModBusProtocol() : TulvProtocolLink(3, 300, 40) {}
TulvModBusProtocol::~TulvModBusProtocol() = default;

// --- Framing and attempts ----------------------------------------------------

bool TulvModBusProtocol::SendModBusFrame(std::uint8_t Count)
{
    return SendRequest(TulvTraceFamily::ModBus, FRequest.data(), Count, Writes::ByteByByte);
}

std::uint16_t TulvModBusProtocol::ReceiveModBusFrame()
{
    FReplyLength = 0;
    if (FComPort == nullptr) {
        FLastError = ErrPortRead;
        return 0;
    }
    const bool traced = FComPort->Trace() != nullptr;
    const std::uint64_t traceStart = traced ? FComPort->Clock().NowMs() : 0;
    auto done = [&](ProtocolErrorCode code, int taken) -> std::uint16_t {
        FLastError = code;
        if (traced)
            TraceReceive(FComPort, TulvTraceFamily::ModBus, {}, FReply.data(), static_cast<std::size_t>(taken), code,
                         traceStart);
        return code == ErrOk ? static_cast<std::uint16_t>(taken) : 0;
    };
    Pause(10);
    int pos = 0;
    int expected = 5;
    while (pos < expected) {
        const std::uint32_t timeout = pos == 0 ? FPacketTimeout : FByteTimeout;
        if (!FComPort->PollByte(timeout, FReply[pos])) return done(ErrPortRead, pos);
        ++pos;
        expected = FrameModBus::ExpectedLength(FReply.data(), pos);
        // No reply of functions 3 and 17 can announce more than 261 bytes; a
        // length beyond the buffer would be refused rather than overrun it.
        if (expected > FrameModBus::BufferSize) {
            FComPort->Purge();
            return done(ErrPacketSize, pos);
        }
    }
    if (!FrameModBus::CrcOk(FReply.data(), expected)) return done(ErrChecksum, expected);
    FReplyLength = expected;
    return done(ErrOk, expected);
}

bool TulvModBusProtocol::Exchange(int length)
{
    int attempt = 0;
    for (; attempt < FRepeatCount; ++attempt) {
        if (attempt > 0) TraceOutcome(FComPort, TulvTraceFamily::ModBus, TulvTraceKind::Repeat, attempt + 1u, FRepeatCount);
        SendModBusFrame(static_cast<std::uint8_t>(length));
        ReceiveModBusFrame();
        if (FLastError == ErrOk) break;
        if (FComPort->Lost()) break; // a device that has gone away will not answer the repeats
    }
    FComPort->EndExchange(attempt == 0 && FLastError == ErrOk, FPacketTimeout);
    if (FLastError != ErrOk) return false;
    if (FrameModBus::IsException(FReply.data())) {
        FLastError = ErrIntegrity;
        TraceOutcome(FComPort, TulvTraceFamily::ModBus, TulvTraceKind::Error, ErrIntegrity);
        return false;
    }
    return true;
}

// --- Operations --------------------------------------------------------------

bool TulvModBusProtocol::ReadHoldingRegisters(std::uint16_t Start, std::uint16_t Count, std::span<std::uint8_t> Data)
{
    if (FComPort == nullptr) {
        FLastError = ErrPortWrite;
        return false;
    }
    const int length = FrameModBus::BuildReadHoldingRegisters(FRequest.data(), FNetAddr, Start, Count);
    if (!Exchange(length)) return false;
    const size_t bytes = FReply[2];
    if (bytes != 2u * Count || FReplyLength != static_cast<int>(bytes) + 5 || bytes > Data.size()) {
        FLastError = ErrPacketSize;
        TraceOutcome(FComPort, TulvTraceFamily::ModBus, TulvTraceKind::Error, ErrPacketSize);
        return false;
    }
    std::copy(FReply.begin() + 3, FReply.begin() + 3 + bytes, Data.begin());
    return true;
}

bool TulvModBusProtocol::WriteMultipleRegisters(std::uint16_t Start, std::uint16_t Count,
                                                std::span<const std::uint8_t> Data)
{
    if (Count > FrameModBus::MaxWriteRegisters)
        throw std::invalid_argument("a ModBus write carries at most 123 registers");
    if (Data.size() < 2u * Count) throw std::invalid_argument("fewer data bytes than registers to write");
    if (FComPort == nullptr) {
        FLastError = ErrPortWrite;
        return false;
    }
    if (!FEWrite) {
        FLastError = ErrOk; // a suppressed write looks like a successful one
        return true;
    }
    const int length =
        FrameModBus::BuildWriteMultipleRegisters(FRequest.data(), FNetAddr, Start, Count, Data.data());
    return Exchange(length);
}

void TulvModBusProtocol::GetDevID(std::string& S)
{
    if (FComPort == nullptr) {
        FLastError = ErrPortWrite;
        return;
    }
    if (!FComPort->Opened() && FAutoOpenPort) FComPort->Open();
    if (!FComPort->Opened()) {
        FLastError = ErrPortMissing;
        return;
    }
    const int length = FrameModBus::BuildReportSlaveId(FRequest.data(), FNetAddr);
    if (!Exchange(length)) {
        S.clear();
        return;
    }
    const int textLength = FReply[3];
    if (FReplyLength != textLength + 6) {
        // Not laid out as an identification reply: its text would run past the frame.
        FLastError = ErrPacketSize;
        TraceOutcome(FComPort, TulvTraceFamily::ModBus, TulvTraceKind::Error, ErrPacketSize);
        S.clear();
        return;
    }
    std::string text;
    for (int i = 0; i < textLength; ++i) {
        const std::uint8_t b = FReply[4 + i];
        if (b > 0x14) text.push_back(static_cast<char>(b));
    }
    S = Cp1251ToUtf8(text);
}
