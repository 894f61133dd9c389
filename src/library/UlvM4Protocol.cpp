#include "UlvM4Protocol.h"

#include "Ulv6xProtocol.h" // ClampTimeout

#include <algorithm>

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

TulvM4Protocol::TulvM4Protocol() = default;
TulvM4Protocol::~TulvM4Protocol() = default;

void TulvM4Protocol::SetComPort(TulvPort* port)
{
    if (port != nullptr) FComPort = port;
}

void TulvM4Protocol::SetRepeatCount(std::uint8_t v)
{
    if (v >= 1 && v <= 24) FRepeatCount = v;
}

void TulvM4Protocol::SetPacketTimeout(std::uint32_t v)
{
    FPacketTimeout = ClampTimeout(FPacketTimeout, v, 10, 9990);
}

void TulvM4Protocol::SetByteTimeout(std::uint32_t v)
{
    FByteTimeout = ClampTimeout(FByteTimeout, v, 10, 2990);
}

void TulvM4Protocol::SetNetAddr(std::uint8_t v)
{
    if (v <= 127) FNetAddr = v;
}

void TulvM4Protocol::Pause(std::uint32_t ms)
{
    (FComPort ? FComPort->Clock() : RealClock()).SleepMs(ms);
}

// --- Framing and attempts ----------------------------------------------------

bool TulvM4Protocol::SendM4Frame()
{
    if (FComPort == nullptr) {
        FLastError = ErrPortWrite;
        return false;
    }
    FComPort->BeginRequest();
    for (std::uint8_t b : FRequest) {
        if (!FComPort->WriteByte(b)) {
            FLastError = ErrPortWrite;
            return false;
        }
    }
    FLastError = ErrOk;
    return true;
}

std::uint8_t TulvM4Protocol::ReceiveM4Frame()
{
    if (FComPort == nullptr) {
        FLastError = ErrPortRead;
        return 0;
    }
    for (int pos = 0; pos < FrameM4::Size; ++pos) {
        const std::uint32_t timeout = pos == 0 ? FPacketTimeout : FByteTimeout;
        if (!FComPort->PollByte(timeout, FReply[pos])) {
            FLastError = ErrPortRead;
            return static_cast<std::uint8_t>(pos);
        }
    }
    FLastError = ErrOk;
    return FrameM4::Size;
}

bool TulvM4Protocol::Exchange(std::uint8_t letter, std::uint8_t p1, std::uint8_t p2, const std::uint8_t* data,
                              Pacing pacing)
{
    FrameM4::Build(FRequest, FNetAddr, letter, p1, p2, data);
    int attempt = 0;
    for (; attempt < FRepeatCount; ++attempt) {
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
        if (wrongCode == WrongCode::Fails) FLastError = ErrIntegrity;
        return;
    }
    std::copy(FReply.begin() + FrameM4::DataOffset, FReply.begin() + FrameM4::DataOffset + 8, Data.begin());
    if (!FrameM4::ChecksumOk(FReply)) FLastError = ErrChecksum;
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
        !FrameM4::ChecksumOk(FReply))
        FLastError = ErrChecksum;
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
}
