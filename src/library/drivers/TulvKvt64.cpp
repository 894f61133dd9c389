#include "TulvKvt64.h"

#include "DriverCodec.h"

namespace {

// Cell of coefficient i (row) for channel 1 and 2 (columns).
constexpr std::uint16_t KCells[10][2] = {
    {0x0700, 0x0704}, // K0
    {0x0718, 0x071C}, // Ku
    {0x0720, 0x0740}, {0x0724, 0x0744}, {0x0728, 0x0748}, {0x072C, 0x074C},
    {0x0730, 0x0750}, {0x0734, 0x0754}, {0x0738, 0x0758}, {0x073C, 0x075C},
};
constexpr std::uint16_t ObrCells[10][2] = {
    {0x0700, 0x0704}, // K0, shared with the K table
    {0x0718, 0x071C}, // Ku, shared with the K table
    {0x0760, 0x0780}, {0x0764, 0x0784}, {0x0768, 0x0788}, {0x076C, 0x078C},
    {0x0770, 0x0790}, {0x0774, 0x0794}, {0x0778, 0x0798}, {0x077C, 0x079C},
};

constexpr std::uint16_t NumberCell = 0x007C;
constexpr std::uint16_t StampCell = 0x0020;

// Singles and integers are stored most significant byte first.
constexpr ByteOrder Order = ByteOrder::BigEndian;

} // namespace

bool TulvKvt64::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvKvt64::ReadCell(std::uint16_t cell, float& value)
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

bool TulvKvt64::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

bool TulvKvt64::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

void TulvKvt64::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[4];
    ReadRtc2k(NumberCell, b, 4);
    if (!ReplyCarried(4)) {
        S.clear();
        return;
    }
    S = DecimalText(GetWord(b, Order));
}

float TulvKvt64::ClbReadG(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    float values[4];
    GetSfrTek(values);
    return LastError() == ErrOk ? values[ch - 1] : 0.0f;
}

bool TulvKvt64::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(KCells[i][ch - 1], value);
}

bool TulvKvt64::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(ObrCells[i][ch - 1], value);
}

bool TulvKvt64::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(KCells[i][ch - 1], value);
}

bool TulvKvt64::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(ObrCells[i][ch - 1], value);
}

bool TulvKvt64::ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(KCells[i][ch - 1], block);
}

bool TulvKvt64::ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(ObrCells[i][ch - 1], block);
}

void TulvKvt64::ResetK() {}

// --- Calibration stamp -------------------------------------------------------

void TulvKvt64::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvKvt64::ClbWriteSignature()
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
