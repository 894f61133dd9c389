#include "UlvM4Protocol.h"

#include <algorithm>
#include <cstdio>
#include <string>

std::uint8_t FrameM4::Checksum(const std::uint8_t* bytes, int count)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

void FrameM4::Build(std::array<std::uint8_t, Size>& frame, std::uint8_t netAddr, std::uint8_t letter,
                    std::uint8_t p1, std::uint8_t p2, const std::uint8_t* data)
{
    frame[0] = 0x00;
    frame[1] = netAddr;
    frame[2] = letter;
    frame[3] = p1;
    frame[4] = p2;
    for (int i = 0; i < 8; ++i) frame[DataOffset + i] = data ? data[i] : 0;
    frame[Size - 1] = Checksum(frame.data(), Size - 1);
}

bool FrameM4::ChecksumOk(const std::array<std::uint8_t, Size>& frame)
{
    return Checksum(frame.data(), Size - 1) == frame[Size - 1];
}

TulvFrameFields FrameM4::Decode(const std::uint8_t* b, std::size_t count, bool request)
{
    TulvFrameFields f;
    if (count >= 2) f.Address = std::to_string(b[1]);
    if (count < 3) return f;
    const std::uint8_t letter = request ? b[2] : static_cast<std::uint8_t>(b[2] & 0x7F);
    f.Command = std::string(1, static_cast<char>(letter >= 0x20 && letter < 0x7F ? letter : '?'));
    if (!request && (b[2] & ReplyFlag) == 0) f.Note = "код ответа без признака ответа";
    bool addressed = true;
    switch (letter) {
    case 'M': f.Name = "чтение"; f.Area = "внутреннее ОЗУ"; break;
    case 'G': f.Name = "чтение"; f.Area = "внешнее ОЗУ"; break;
    case 'R': f.Name = "чтение"; f.Area = "память параметров"; break;
    case 'W': f.Name = "запись"; f.Area = "память параметров"; break;
    case 'P': f.Name = "запрос параметра"; addressed = false; break;
    case 'S': f.Name = "установка"; addressed = false; break;
    default: addressed = false; break;
    }
    if (count >= 5) {
        if (addressed) {
            f.Cell = b[3] << 8 | b[4];
            f.Count = 8;
        } else {
            char p[32];
            std::snprintf(p, sizeof p, "P1 %02X, P2 %02X", b[3], b[4]);
            f.Note = f.Note.empty() ? p : f.Note + "; " + p;
        }
    }
    const bool carriesData = !request || letter == 'W' || letter == 'P' || letter == 'S';
    if (carriesData && count > static_cast<std::size_t>(DataOffset))
        f.Data.assign(b + DataOffset, b + std::min<std::size_t>(count, Size - 1));
    if (count >= static_cast<std::size_t>(Size)) f.Checksum = Checksum(b, Size - 1) == b[Size - 1] ? 1 : 0;
    return f;
}

TulvM4Protocol::TulvM4Protocol() : TulvProtocolLink(3, 100, 30) {}
TulvM4Protocol::~TulvM4Protocol() = default;

// --- Framing and attempts ----------------------------------------------------

bool TulvM4Protocol::SendM4Frame()
{
    if (!SendRequest(TulvTraceFamily::M4, FRequest.data(), FRequest.size(), Writes::ByteByByte)) return false;
    FLastError = ErrOk;
    return true;
}

std::uint8_t TulvM4Protocol::ReceiveM4Frame()
{
    if (FComPort == nullptr) {
        FLastError = ErrPortRead;
        return 0;
    }
    const bool traced = FComPort->Trace() != nullptr;
    const std::uint64_t traceStart = traced ? FComPort->Clock().NowMs() : 0;
    for (int pos = 0; pos < FrameM4::Size; ++pos) {
        const std::uint32_t timeout = pos == 0 ? FPacketTimeout : FByteTimeout;
        if (!FComPort->PollByte(timeout, FReply[pos])) {
            FLastError = ErrPortRead;
            if (traced)
                TraceReceive(FComPort, TulvTraceFamily::M4, {}, FReply.data(), static_cast<std::size_t>(pos),
                             ErrPortRead, traceStart);
            return static_cast<std::uint8_t>(pos);
        }
    }
    FLastError = ErrOk;
    if (traced) TraceReceive(FComPort, TulvTraceFamily::M4, {}, FReply.data(), FrameM4::Size, ErrOk, traceStart);
    return FrameM4::Size;
}

bool TulvM4Protocol::Exchange(std::uint8_t letter, std::uint8_t p1, std::uint8_t p2, const std::uint8_t* data,
                              Pacing pacing)
{
    FrameM4::Build(FRequest, FNetAddr, letter, p1, p2, data);
    int attempt = 0;
    for (; attempt < FRepeatCount; ++attempt) {
        if (attempt > 0) TraceOutcome(FComPort, TulvTraceFamily::M4, TulvTraceKind::Repeat, attempt + 1u, FRepeatCount);
        SendM4Frame();
        if (pacing == Pacing::PauseBeforeReceive) Pause(FPacketTimeout); // the meter needs time to act
        ReceiveM4Frame();
        if (FLastError == ErrOk) break;
        // A device that has gone away will not answer the repeats.
        if (FComPort != nullptr && FComPort->Lost()) break;
        if (pacing != Pacing::NoPause) Pause(FPacketTimeout);
    }
    if (FComPort != nullptr) FComPort->EndExchange(attempt == 0 && FLastError == ErrOk, FPacketTimeout);
    return FLastError == ErrOk;
}

void TulvM4Protocol::FinishRead(std::uint8_t letter, std::span<std::uint8_t, 8> Data, WrongCode wrongCode)
{
    if (FReply[2] != static_cast<std::uint8_t>(letter + FrameM4::ReplyFlag)) {
        // Not the answer to this request: live-value reads report it (7); the
        // memory and parameter operations ignore such a reply and copy nothing.
        if (wrongCode == WrongCode::Fails) {
            FLastError = ErrIntegrity;
            TraceOutcome(FComPort, TulvTraceFamily::M4, TulvTraceKind::Error, ErrIntegrity);
        }
        return;
    }
    std::copy(FReply.begin() + FrameM4::DataOffset, FReply.begin() + FrameM4::DataOffset + 8, Data.begin());
    if (!FrameM4::ChecksumOk(FReply)) {
        FLastError = ErrChecksum;
        TraceOutcome(FComPort, TulvTraceFamily::M4, TulvTraceKind::Error, ErrChecksum);
    }
}

// --- Operations --------------------------------------------------------------

void TulvM4Protocol::ReadRamInt(std::span<std::uint8_t, 8> Data, std::uint16_t Addr)
{
    if (Exchange('M', static_cast<std::uint8_t>(Addr >> 8), static_cast<std::uint8_t>(Addr), nullptr,
                 Pacing::PauseAfterFailure))
        FinishRead('M', Data, WrongCode::Fails);
}

void TulvM4Protocol::ReadRamExt(std::span<std::uint8_t, 8> Data, std::uint16_t Addr)
{
    if (Exchange('G', static_cast<std::uint8_t>(Addr >> 8), static_cast<std::uint8_t>(Addr), nullptr,
                 Pacing::PauseAfterFailure))
        FinishRead('G', Data, WrongCode::Fails);
}

void TulvM4Protocol::ReadMem(std::span<std::uint8_t, 8> Data, std::uint16_t Addr)
{
    if (Exchange('R', static_cast<std::uint8_t>(Addr >> 8), static_cast<std::uint8_t>(Addr), nullptr,
                 Pacing::PauseAfterFailure))
        FinishRead('R', Data, WrongCode::Ignored);
}

void TulvM4Protocol::ParameterDevice(std::span<std::uint8_t, 8> Data, std::uint8_t P1, std::uint8_t P2)
{
    if (Exchange('P', P1, P2, Data.data(), Pacing::PauseAfterFailure)) FinishRead('P', Data, WrongCode::Ignored);
}

void TulvM4Protocol::SetDevice(std::span<std::uint8_t, 8> Data, std::uint8_t P1, std::uint8_t P2)
{
    if (Exchange('S', P1, P2, Data.data(), Pacing::PauseBeforeReceive)) FinishRead('S', Data, WrongCode::Ignored);
}

void TulvM4Protocol::Write(const std::uint8_t* data, std::uint16_t addr)
{
    if (!FEWrite) {
        FLastError = ErrOk; // a suppressed write looks like a successful one
        return;
    }
    if (Exchange('W', static_cast<std::uint8_t>(addr >> 8), static_cast<std::uint8_t>(addr), data,
                 Pacing::PauseAfterFailure) &&
        !FrameM4::ChecksumOk(FReply)) {
        FLastError = ErrChecksum;
        TraceOutcome(FComPort, TulvTraceFamily::M4, TulvTraceKind::Error, ErrChecksum);
    }
}

void TulvM4Protocol::WriteMem(std::span<const std::uint8_t, 8> Data, std::uint16_t Addr)
{
    Write(Data.data(), Addr);
}

void TulvM4Protocol::WriteMemP(const void* Data, std::uint16_t Addr)
{
    Write(static_cast<const std::uint8_t*>(Data), Addr);
}

void TulvM4Protocol::WriteS(std::uint8_t P1, std::uint8_t P2)
{
    if (!FEWrite) {
        FLastError = ErrOk;
        return;
    }
    if (!Exchange('S', P1, P2, nullptr, Pacing::NoPause)) return;
    if (FReply[2] != static_cast<std::uint8_t>('S' + FrameM4::ReplyFlag))
        FLastError = ErrIntegrity;
    else if (!FrameM4::ChecksumOk(FReply))
        FLastError = ErrChecksum;
    if (FLastError != ErrOk) TraceOutcome(FComPort, TulvTraceFamily::M4, TulvTraceKind::Error, FLastError);
}
