#include "TulvDln0807.h"

#include "DriverCodec.h"

namespace {

// Parameter address of coefficient i (row) for channel 1 and 2 (columns).
constexpr std::uint16_t KCells[10][2] = {
    {8, 13}, // K0
    {9, 14}, // Ku
    {32, 64}, {33, 65}, {34, 66}, {35, 67}, {36, 68}, {37, 69}, {38, 70}, {39, 71},
};
constexpr std::uint16_t ObrCells[10][2] = {
    {8, 13}, // K0, shared with the K table
    {9, 14}, // Ku, shared with the K table
    {16, 48}, {17, 49}, {18, 50}, {19, 51}, {20, 52}, {21, 53}, {22, 54}, {23, 55},
};

constexpr std::uint16_t NumberAddr = 0;
constexpr std::uint16_t GmaxAddr[2] = {10, 15};
constexpr std::uint16_t FlowAddr[2] = {121, 133};
constexpr std::uint16_t SecondFlowAddr[2] = {115, 127};

// The reply code of a parameter memory read ("R" + 0x80).
constexpr std::uint8_t ReadMemReply = 'R' + FrameM4::ReplyFlag;

// 1 selects channel 1, every other value channel 2.
int ChannelIndex(std::uint8_t ch)
{
    return ch == 1 ? 0 : 1;
}

} // namespace

bool TulvDln0807::ReadBlock(std::uint16_t addr, std::array<std::uint8_t, 8>& block)
{
    ReadMem(block, addr);
    // Another reply code: not the answer to this read, and nothing was copied.
    SetLastError(ReplyCodeOutcome(LastError(), FReply[2], ReadMemReply));
    return LastError() == ErrOk;
}

bool TulvDln0807::ReadValue(std::uint16_t addr, float& value)
{
    std::array<std::uint8_t, 8> block{};
    if (!ReadBlock(addr, block)) {
        value = 0.0f;
        return false;
    }
    value = M4FloatAt(block);
    return true;
}

float TulvDln0807::ReadLive(std::uint16_t addr)
{
    std::array<std::uint8_t, 8> block{};
    ReadRamInt(block, addr);
    return LastError() == ErrOk ? M4FloatAt(block) : 0.0f;
}

bool TulvDln0807::WriteValue(std::uint16_t addr, float value)
{
    WriteS(5, 0);
    if (LastError() != ErrOk) return false;
    // Only bytes 0..3 carry the value; the rest of the block goes as zeros.
    std::array<std::uint8_t, 8> block{};
    PutM4Float(block, value);
    WriteMem(block, addr);
    return LastError() == ErrOk;
}

void TulvDln0807::ResetValue(std::uint16_t addr, float value)
{
    std::array<std::uint8_t, 8> block{};
    if (!ReadBlock(addr, block)) return; // never write back a block that was not read
    PutM4Float(block, value);
    WriteMem(block, addr);
}

void TulvDln0807::GetDeviceNumber(std::string& S)
{
    std::array<std::uint8_t, 8> block{};
    if (!ReadBlock(NumberAddr, block)) {
        S.clear();
        return;
    }
    S = CharacterText(block, ControlBytes::Kept);
}

float TulvDln0807::ClbReadG(std::uint8_t ch)
{
    return ReadLive(FlowAddr[ChannelIndex(ch)]);
}

float TulvDln0807::ClbReadGFlow(std::uint8_t ch)
{
    return ReadLive(SecondFlowAddr[ChannelIndex(ch)]);
}

float TulvDln0807::ClbReadGmax(std::uint8_t ch)
{
    float value = 0.0f;
    return ReadValue(GmaxAddr[ChannelIndex(ch)], value) ? value : 0.0f;
}

bool TulvDln0807::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadValue(KCells[i][ch - 1], value);
}

bool TulvDln0807::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadValue(ObrCells[i][ch - 1], value);
}

bool TulvDln0807::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteValue(KCells[i][ch - 1], value);
}

bool TulvDln0807::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteValue(ObrCells[i][ch - 1], value);
}

void TulvDln0807::ResetK()
{
    for (int c = 0; c < 2; ++c) {
        WriteS(5, 0);
        ResetValue(KCells[0][c], 0.0f);
        ResetValue(KCells[1][c], 1.0f);
        for (int p = 0; p < 8; ++p) {
            ResetValue(KCells[2 + p][c], FactoryPoints[p]);
            ResetValue(ObrCells[2 + p][c], FactoryPoints[p]);
        }
    }
}

// --- Calibration stamp -------------------------------------------------------

void TulvDln0807::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}
