#include "TulvDln0805s.h"

#include "DriverCodec.h"

#include <span>

namespace {

// Cell of coefficient i (row) for channel 1 and 2 (columns).
constexpr std::uint16_t KCells[10][2] = {
    {0x0100, 0x0704}, // K0
    {0x0104, 0x071C}, // Ku
    {0x0108, 0x0740}, {0x010C, 0x0744}, {0x0110, 0x0748}, {0x0114, 0x074C},
    {0x0118, 0x0750}, {0x011C, 0x0754}, {0x0120, 0x0758}, {0x0124, 0x075C},
};
constexpr std::uint16_t ObrCells[10][2] = {
    {0x0100, 0x0704}, // K0, shared with the K table
    {0x0104, 0x071C}, // Ku, shared with the K table
    {0x0128, 0x0780}, {0x012C, 0x0784}, {0x0130, 0x0788}, {0x0134, 0x078C},
    {0x0138, 0x0790}, {0x013C, 0x0794}, {0x0140, 0x0798}, {0x0144, 0x079C},
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t GmaxCell = 0x0010;
constexpr std::uint16_t StampCell = 0x01F0;
constexpr std::uint16_t LiveFlowAddr = 0x00B4;
constexpr std::uint16_t RawValueAddr = 0x00B0;

// Singles are stored most significant byte first.
constexpr ByteOrder Order = ByteOrder::BigEndian;

} // namespace

bool TulvDln0805s::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvDln0805s::ReadCell(std::uint16_t cell, float& value)
{
    std::uint8_t b[4];
    ReadRtc2k(cell, b, 4);
    if (!ReplyCarried(4)) {
        value = 0.0f;
        return false;
    }
    value = GetSingle(b, Order);
    return true;
}

bool TulvDln0805s::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

bool TulvDln0805s::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvDln0805s::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

void TulvDln0805s::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[8];
    ReadCfg(NumberCell, b, 8);
    if (!ReplyCarried(8)) {
        S.clear();
        return;
    }
    S = CharacterText(b, ControlBytes::AsBlanks);
}

float TulvDln0805s::ClbReadG()
{
    return ReadLive(LiveFlowAddr);
}

float TulvDln0805s::ClbReadSFR()
{
    return ReadLive(RawValueAddr);
}

float TulvDln0805s::ClbReadGmax()
{
    float gmax = 0.0f;
    ReadCell(GmaxCell, gmax);
    return gmax;
}

bool TulvDln0805s::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(KCells[i][ch - 1], value);
}

bool TulvDln0805s::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(ObrCells[i][ch - 1], value);
}

bool TulvDln0805s::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(KCells[i][ch - 1], value);
}

bool TulvDln0805s::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(ObrCells[i][ch - 1], value);
}

bool TulvDln0805s::ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(KCells[i][ch - 1], block);
}

bool TulvDln0805s::ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(ObrCells[i][ch - 1], block);
}

void TulvDln0805s::ResetK()
{
    // Channel 1. Two values per write: points 4h+1 and 4h+2 go to the cells of
    // point 4h+1 (index 4h+2), points 4h+3 and 4h+4 to those of point 4h+3
    // (index 4h+4).
    for (int h = 0; h < 2; ++h) {
        std::uint8_t points[16];
        for (int k = 0; k < 4; ++k)
            PutSingle(points + 4 * k, FactoryValues[2 + 4 * h + k], Order);
        const std::span<const std::uint8_t> low(points, 8);
        const std::span<const std::uint8_t> high(points + 8, 8);
        WriteRtc2k(KCells[4 * h + 2][0], low, 8);
        WriteRtc2k(ObrCells[4 * h + 2][0], low, 8);
        WriteRtc2k(KCells[4 * h + 4][0], high, 8);
        WriteRtc2k(ObrCells[4 * h + 4][0], high, 8);
    }
    // K0 and Ku of channel 1 lie next to each other.
    std::uint8_t zeroAndGain[8];
    PutSingle(zeroAndGain, FactoryValues[0], Order);
    PutSingle(zeroAndGain + 4, FactoryValues[1], Order);
    WriteRtc2k(KCells[0][0], zeroAndGain, 8);
}

void TulvDln0805s::ResetK_new()
{
    for (int i = 2; i <= 9; ++i) {
        WriteCellScrambled(KCells[i][0], ScrambledSingle(FactoryValues[i]));
        WriteCellScrambled(ObrCells[i][0], ScrambledSingle(FactoryValues[i]));
    }
    WriteCellScrambled(KCells[0][0], ScrambledSingle(FactoryValues[0]));
    WriteCellScrambled(KCells[1][0], ScrambledSingle(FactoryValues[1]));
}

// --- Calibration stamp -------------------------------------------------------

void TulvDln0805s::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvDln0805s::ClbWriteSignature()
{
    // Signature is either empty or exactly 8 characters.
    if (!FSignatureSet || FSignature.empty()) return false;
    if (FSignatureWritten) return true;
    const auto image = StampImage(FSignature, LocalNow());
    // The meter takes the stamp in two halves of 8 bytes.
    WriteCfg(StampCell, std::span<const std::uint8_t>(image.data(), 8), 8);
    if (LastError() != ErrOk) return false;
    WriteCfg(StampCell + 8, std::span<const std::uint8_t>(image.data() + 8, 8), 8);
    if (LastError() != ErrOk) return false;
    FSignatureWritten = true;
    return true;
}
