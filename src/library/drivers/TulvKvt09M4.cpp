#include "TulvKvt09M4.h"

#include "DriverCodec.h"

namespace {

// Address of coefficient i (row) for channel 1 and 2 (columns).
constexpr std::uint16_t KCells[10][2] = {
    {0x0148, 0x0248}, // K0
    {0x014C, 0x024C}, // Ku
    {0x01A0, 0x02A0}, {0x01A4, 0x02A4}, {0x01A8, 0x02A8}, {0x01AC, 0x02AC},
    {0x01B0, 0x02B0}, {0x01B4, 0x02B4}, {0x01B8, 0x02B8}, {0x01BC, 0x02BC},
};
constexpr std::uint16_t ObrCells[10][2] = {
    {0x0148, 0x0248}, // K0, shared with the K table
    {0x014C, 0x024C}, // Ku, shared with the K table
    {0x0160, 0x0260}, {0x0164, 0x0264}, {0x0168, 0x0268}, {0x016C, 0x026C},
    {0x0170, 0x0270}, {0x0174, 0x0274}, {0x0178, 0x0278}, {0x017C, 0x027C},
};

constexpr std::uint16_t NumberAddr = 0x0000;
constexpr std::uint16_t GmaxAddr[2] = {0x0150, 0x0250};
constexpr std::uint16_t FlowAddr[2] = {0x044D, 0x048D};

// The reply code of a parameter memory read ("R" + 0x80).
constexpr std::uint8_t ReadMemReply = 'R' + FrameM4::ReplyFlag;

// 1 selects channel 1, every other value channel 2.
int ChannelIndex(std::uint8_t ch)
{
    return ch == 1 ? 0 : 1;
}

} // namespace

bool TulvKvt09M4::ReadBlock(std::uint16_t addr)
{
    ReadMem(FBuffer, addr);
    // Another reply code: not the answer to this read, and nothing was copied.
    SetLastError(ReplyCodeOutcome(LastError(), FReply[2], ReadMemReply));
    return LastError() == ErrOk;
}

bool TulvKvt09M4::ReadValue(std::uint16_t addr, float& value)
{
    if (!ReadBlock(addr)) {
        value = 0.0f;
        return false;
    }
    value = M4FloatAt(FBuffer);
    return true;
}

bool TulvKvt09M4::WriteValue(std::uint16_t addr, float value)
{
    if (!ReadBlock(addr)) return false;
    PutM4Float(FBuffer, value); // bytes 4..7 keep what was read
    WriteMemP(FBuffer.data(), addr);
    return LastError() == ErrOk;
}

void TulvKvt09M4::GetDeviceNumber(std::string& S)
{
    if (!ReadBlock(NumberAddr)) {
        S.clear();
        return;
    }
    S = CharacterText(FBuffer, ControlBytes::Kept);
}

float TulvKvt09M4::ClbReadG(std::uint8_t ch)
{
    ReadRamExt(FBuffer, FlowAddr[ChannelIndex(ch)]);
    return LastError() == ErrOk ? M4FloatAt(FBuffer) : 0.0f;
}

float TulvKvt09M4::ClbReadGmax(std::uint8_t ch)
{
    float value = 0.0f;
    return ReadValue(GmaxAddr[ChannelIndex(ch)], value) ? value : 0.0f;
}

bool TulvKvt09M4::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadValue(KCells[i][ch - 1], value);
}

bool TulvKvt09M4::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadValue(ObrCells[i][ch - 1], value);
}

bool TulvKvt09M4::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteValue(KCells[i][ch - 1], value);
}

bool TulvKvt09M4::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteValue(ObrCells[i][ch - 1], value);
}

bool TulvKvt09M4::ClbWriteGmax(std::uint8_t ch, float value)
{
    return WriteValue(GmaxAddr[ChannelIndex(ch)], value);
}

void TulvKvt09M4::ResetK()
{
    WriteS(1, 1);
    WriteS(2, 1);
    WriteS(17, 1);
    WriteS(18, 1);
}

// --- Calibration stamp -------------------------------------------------------

void TulvKvt09M4::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}
