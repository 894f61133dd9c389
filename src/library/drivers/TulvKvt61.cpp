#include "TulvKvt61.h"

#include "DriverCodec.h"

#include <span>

namespace {

// Cell of coefficient i (row) for channel 1 and 2 (columns): both channels
// address the same cells.
constexpr std::uint16_t KCells[10][2] = {
    {0x0040, 0x0040}, // K0
    {0x0044, 0x0044}, // Ku
    {0x0048, 0x0048}, {0x004C, 0x004C}, {0x0050, 0x0050}, {0x0054, 0x0054},
    {0x0058, 0x0058}, {0x005C, 0x005C}, {0x0060, 0x0060}, {0x0064, 0x0064},
};
constexpr std::uint16_t ObrCells[10][2] = {
    {0x0040, 0x0040}, // K0, shared with the K table
    {0x0044, 0x0044}, // Ku, shared with the K table
    {0x0068, 0x0068}, {0x006C, 0x006C}, {0x0070, 0x0070}, {0x0074, 0x0074},
    {0x0078, 0x0078}, {0x007C, 0x007C}, {0x0080, 0x0080}, {0x0084, 0x0084},
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t StampCell = 0x01F0;
constexpr std::uint16_t LiveFlowAddr = 0x00B4;
constexpr std::uint16_t RawValueAddr = 0x00B0;

// Singles are stored most significant byte first.
constexpr ByteOrder Order = ByteOrder::BigEndian;

} // namespace

bool TulvKvt61::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvKvt61::ReadCell(std::uint16_t cell, float& value)
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

bool TulvKvt61::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

bool TulvKvt61::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvKvt61::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

void TulvKvt61::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[8];
    ReadRtc2k(NumberCell, b, 8);
    if (!ReplyCarried(8)) {
        S.clear();
        return;
    }
    S = CharacterText(b, ControlBytes::Kept);
}

float TulvKvt61::ClbReadG(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadLive(LiveFlowAddr);
}

float TulvKvt61::ClbReadSFR(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadLive(RawValueAddr);
}

bool TulvKvt61::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(KCells[i][ch - 1], value);
}

bool TulvKvt61::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(ObrCells[i][ch - 1], value);
}

bool TulvKvt61::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(KCells[i][ch - 1], value);
}

bool TulvKvt61::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(ObrCells[i][ch - 1], value);
}

bool TulvKvt61::ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(KCells[i][ch - 1], block);
}

bool TulvKvt61::ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(ObrCells[i][ch - 1], block);
}

void TulvKvt61::ResetK()
{
    // Two values per write: points 4h+1 and 4h+2 go to the cells of point 4h+1
    // (index 4h+2), points 4h+3 and 4h+4 to those of point 4h+3 (index 4h+4).
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
    // K0 and Ku lie next to each other.
    std::uint8_t zeroAndGain[8];
    PutSingle(zeroAndGain, FactoryValues[0], Order);
    PutSingle(zeroAndGain + 4, FactoryValues[1], Order);
    WriteRtc2k(KCells[0][0], zeroAndGain, 8);
}

void TulvKvt61::ResetK_new()
{
    for (int i = 2; i <= 9; ++i) {
        WriteCellScrambled(KCells[i][0], ScrambledSingle(FactoryValues[i]));
        WriteCellScrambled(ObrCells[i][0], ScrambledSingle(FactoryValues[i]));
    }
    WriteCellScrambled(KCells[0][0], ScrambledSingle(FactoryValues[0]));
    WriteCellScrambled(KCells[1][0], ScrambledSingle(FactoryValues[1]));
}

// --- Calibration stamp -------------------------------------------------------

void TulvKvt61::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvKvt61::ClbWriteSignature()
{
    // Signature is either empty or exactly 8 characters.
    if (!FSignatureSet || FSignature.empty()) return false;
    if (FSignatureWritten) return true;
    const auto image = StampImage(FSignature, LocalNow());
    WriteCfg(StampCell, image, 16);
    if (LastError() != ErrOk) return false;
    FSignatureWritten = true;
    return true;
}
