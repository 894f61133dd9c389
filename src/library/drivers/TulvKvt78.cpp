#include "TulvKvt78.h"

#include "DriverCodec.h"

namespace {

// Cell of coefficient i (row) for channel 1 and 2 (columns).
constexpr std::uint16_t KCells[10][2] = {
    {0x0300, 0x0304}, // K0
    {0x0308, 0x030C}, // Ku
    {0x0320, 0x0340}, {0x0324, 0x0344}, {0x0328, 0x0348}, {0x032C, 0x034C},
    {0x0330, 0x0350}, {0x0334, 0x0354}, {0x0338, 0x0358}, {0x033C, 0x035C},
};
constexpr std::uint16_t ObrCells[10][2] = {
    {0x0300, 0x0304}, // K0, shared with the K table
    {0x0308, 0x030C}, // Ku, shared with the K table
    {0x0360, 0x0380}, {0x0364, 0x0384}, {0x0368, 0x0388}, {0x036C, 0x038C},
    {0x0370, 0x0390}, {0x0374, 0x0394}, {0x0378, 0x0398}, {0x037C, 0x039C},
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t StampCell = 0x0020;
constexpr std::uint16_t LiveFlowAddr[2] = {0x01CC, 0x01D0};
constexpr std::uint16_t RawValueAddr[2] = {0x0200, 0x0204};

// Singles and integers are stored least significant byte first.
constexpr ByteOrder Order = ByteOrder::LittleEndian;

} // namespace

bool TulvKvt78::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvKvt78::ReadCell(std::uint16_t cell, float& value)
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

bool TulvKvt78::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

bool TulvKvt78::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvKvt78::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

void TulvKvt78::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[4];
    ReadRtc2k(NumberCell, b, 4);
    if (!ReplyCarried(4)) {
        S.clear();
        return;
    }
    S = DecimalText(GetWord(b, Order));
}

float TulvKvt78::ClbReadG(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadLive(LiveFlowAddr[ch - 1]);
}

float TulvKvt78::ClbReadSFR(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadLive(RawValueAddr[ch - 1]);
}

bool TulvKvt78::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(KCells[i][ch - 1], value);
}

bool TulvKvt78::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(ObrCells[i][ch - 1], value);
}

bool TulvKvt78::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(KCells[i][ch - 1], value);
}

bool TulvKvt78::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(ObrCells[i][ch - 1], value);
}

bool TulvKvt78::ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(KCells[i][ch - 1], block);
}

bool TulvKvt78::ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(ObrCells[i][ch - 1], block);
}

void TulvKvt78::ResetK()
{
    for (int c = 0; c < 2; ++c) {
        for (int i = 2; i <= 9; ++i) {
            WriteCellScrambled(KCells[i][c], ScrambledSingle(FactoryValues[i]));
            WriteCellScrambled(ObrCells[i][c], ScrambledSingle(FactoryValues[i]));
        }
        WriteCellScrambled(KCells[0][c], ScrambledSingle(FactoryValues[0]));
        WriteCellScrambled(KCells[1][c], ScrambledSingle(FactoryValues[1]));
        WriteCellScrambled(ObrCells[0][c], ScrambledSingle(FactoryValues[0]));
        WriteCellScrambled(ObrCells[1][c], ScrambledSingle(FactoryValues[1]));
    }
}

// --- Calibration stamp -------------------------------------------------------

void TulvKvt78::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvKvt78::ClbWriteSignature()
{
    // Signature is either empty or exactly 8 characters.
    if (!FSignatureSet || FSignature.empty()) return false;
    if (FSignatureWritten) return true;
    const auto image = StampImage(FSignature, LocalNow());
    WriteRtc2k(StampCell, image, 16);
    if (LastError() != ErrOk) return false;
    FSignatureWritten = true;
    return true;
}
