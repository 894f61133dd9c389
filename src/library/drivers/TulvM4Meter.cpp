#include "TulvM4Meter.h"

namespace {

// The reply code of a parameter memory read ("R" + 0x80).
constexpr std::uint8_t ReadMemReply = 'R' + FrameM4::ReplyFlag;
// The setting command that opens the meter's memory for a write (P1, P2).
constexpr std::uint8_t WriteEnable = 5;

} // namespace

bool TulvM4Meter::ReadBlock(std::uint16_t addr)
{
    ReadMem(FBlock, addr);
    // Another reply code: not the answer to this read, and nothing was copied.
    SetLastError(ReplyCodeOutcome(LastError(), FReply[2], ReadMemReply));
    return LastError() == ErrOk;
}

bool TulvM4Meter::ReadValue(std::uint16_t addr, float& value)
{
    if (!ReadBlock(addr)) {
        value = 0.0f;
        return false;
    }
    value = M4FloatAt(FBlock);
    return true;
}

float TulvM4Meter::ValueAt(std::uint16_t addr)
{
    float value = 0.0f;
    return ReadValue(addr, value) ? value : 0.0f;
}

float TulvM4Meter::LiveValue()
{
    return LastError() == ErrOk ? M4FloatAt(FBlock) : 0.0f;
}

bool TulvM4Meter::ModifyValue(std::uint16_t addr, float value)
{
    if (!ReadBlock(addr)) return false; // never write back a block that was not read
    PutM4Float(FBlock, value);           // bytes 4..7 keep what was read
    WriteMem(FBlock, addr);
    return LastError() == ErrOk;
}

bool TulvM4Meter::CellOf(CalTable t, std::uint8_t ch, std::uint8_t i, std::uint16_t& cell) const
{
    return LookUpCell(FMap.k, FMap.obr, t, true, ch, i, cell);
}

bool TulvM4Meter::ReadTable(CalTable t, std::uint8_t ch, std::uint8_t i, float& value)
{
    std::uint16_t cell = 0;
    return CellOf(t, ch, i, cell) && ReadValue(cell, value);
}

bool TulvM4Meter::WriteTable(CalTable t, std::uint8_t ch, std::uint8_t i, float value)
{
    std::uint16_t cell = 0;
    if (!CellOf(t, ch, i, cell)) return false;
    if (FMap.write == M4Write::ReadModifyWrite) return ModifyValue(cell, value);
    WriteS(WriteEnable, 0);
    if (LastError() != ErrOk) return false;
    // Only bytes 0..3 carry the value; the rest of the block goes as zeros.
    Block block{};
    PutM4Float(block, value);
    WriteMem(block, cell);
    return LastError() == ErrOk;
}

void TulvM4Meter::GetDeviceNumber(std::string& S)
{
    if (!ReadBlock(0)) {
        S.clear();
        return;
    }
    S = CharacterText(FBlock, ControlBytes::Kept);
}
