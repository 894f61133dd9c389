#include "TulvDln0805.h"

#include "DriverCodec.h"

namespace {

// Parameter address of coefficient i; one channel.
constexpr std::uint16_t KCells[10] = {
    13, // K0
    14, // Ku
    32, 33, 34, 35, 36, 37, 38, 39,
};
constexpr std::uint16_t ObrCells[10] = {
    13, // K0, shared with the K table
    14, // Ku, shared with the K table
    16, 17, 18, 19, 20, 21, 22, 23,
};

constexpr std::uint16_t NumberAddr = 0;
constexpr std::uint16_t GmaxAddr = 15;

// Parameter queries and setting commands (P1, P2).
constexpr std::uint8_t FlowQuery = 4;
constexpr std::uint8_t AdcQuery = 2;
constexpr std::uint8_t WriteEnable = 5;
constexpr std::uint8_t RestoreFactory = 99;

// Reply codes: the letter + 0x80.
constexpr std::uint8_t ReadMemReply = 'R' + FrameM4::ReplyFlag;
constexpr std::uint8_t QueryReply = 'P' + FrameM4::ReplyFlag;

} // namespace

bool TulvDln0805::ReadBlock(std::uint16_t addr, std::array<std::uint8_t, 8>& block)
{
    ReadMem(block, addr);
    // Another reply code: not the answer to this read, and nothing was copied.
    SetLastError(ReplyCodeOutcome(LastError(), FReply[2], ReadMemReply));
    return LastError() == ErrOk;
}

bool TulvDln0805::ReadValue(std::uint16_t addr, float& value)
{
    std::array<std::uint8_t, 8> block{};
    if (!ReadBlock(addr, block)) {
        value = 0.0f;
        return false;
    }
    value = M4FloatAt(block, 0);
    return true;
}

bool TulvDln0805::Query(std::uint8_t p1, std::uint8_t p2, std::array<std::uint8_t, 8>& data)
{
    data.fill(0);
    ParameterDevice(data, p1, p2);
    // Another reply code: not the answer to this query, and data still holds the zeros sent.
    SetLastError(ReplyCodeOutcome(LastError(), FReply[2], QueryReply));
    return LastError() == ErrOk;
}

bool TulvDln0805::WriteValue(std::uint16_t addr, float value)
{
    WriteS(WriteEnable, 0);
    if (LastError() != ErrOk) return false;
    // Only bytes 0..3 carry the value; the rest of the block goes as zeros.
    std::array<std::uint8_t, 8> block{};
    PutM4Float(block, value);
    WriteMem(block, addr);
    return LastError() == ErrOk;
}

void TulvDln0805::GetDeviceNumber(std::string& S)
{
    std::array<std::uint8_t, 8> block{};
    if (!ReadBlock(NumberAddr, block)) {
        S.clear();
        return;
    }
    S = CharacterText(block, ControlBytes::Kept);
}

float TulvDln0805::ClbReadG()
{
    std::array<std::uint8_t, 8> data{};
    return Query(FlowQuery, 0, data) ? M4FloatAt(data, 0) : 0.0f;
}

float TulvDln0805::ClbReadGmax()
{
    float value = 0.0f;
    return ReadValue(GmaxAddr, value) ? value : 0.0f;
}

float TulvDln0805::ClbReadADCCur(std::uint8_t, float& Second)
{
    std::array<std::uint8_t, 8> data{};
    if (!Query(AdcQuery, 0, data)) return 0.0f;
    Second = M4FloatAt(data, 3);
    return M4FloatAt(data, 0);
}

bool TulvDln0805::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadValue(KCells[i], value);
}

bool TulvDln0805::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadValue(ObrCells[i], value);
}

bool TulvDln0805::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteValue(KCells[i], value);
}

bool TulvDln0805::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteValue(ObrCells[i], value);
}

void TulvDln0805::ResetK()
{
    std::array<std::uint8_t, 8> data{};
    SetDevice(data, WriteEnable, 0);
    data.fill(0); // the reply may have landed in it
    SetDevice(data, RestoreFactory, 0);
}

// --- Calibration stamp -------------------------------------------------------

void TulvDln0805::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}
