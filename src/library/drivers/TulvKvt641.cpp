#include "TulvKvt641.h"

#include "DriverCodec.h"

#include <span>

namespace {

// Cell of coefficient i; the meter has one channel.
constexpr std::uint16_t KCells[10] = {
    0x0050, // K0
    0x0054, // Ku
    0x0058, 0x005C, 0x0060, 0x0064, 0x0068, 0x006C, 0x0070, 0x0074,
};
constexpr std::uint16_t ObrCells[10] = {
    0x0050, // K0, shared with the K table
    0x0054, // Ku, shared with the K table
    0x0078, 0x007C, 0x0080, 0x0084, 0x0088, 0x008C, 0x0090, 0x0094,
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t SizeCodeCell = 0x000A;
constexpr std::uint16_t StampCell = 0x01F0;
constexpr std::uint16_t LiveFlowAddr = 0x00B4;
constexpr std::uint16_t RawValueAddr = 0x00B0;

// Singles are stored most significant byte first.
constexpr ByteOrder Order = ByteOrder::BigEndian;

} // namespace

bool TulvKvt641::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvKvt641::ReadCell(std::uint16_t cell, float& value)
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

bool TulvKvt641::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

bool TulvKvt641::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvKvt641::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

void TulvKvt641::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[8];
    ReadCfg(NumberCell, b, 8);
    if (!ReplyCarried(8)) {
        S.clear();
        return;
    }
    S = CharacterText(b, ControlBytes::AsBlanks);
}

float TulvKvt641::ClbReadG()
{
    return ReadLive(LiveFlowAddr);
}

float TulvKvt641::ClbReadSFR()
{
    return ReadLive(RawValueAddr);
}

float TulvKvt641::ClbReadGmax(float version)
{
    bool mSeries = false;
    if (version >= 4000.0f) {
        std::string modification;
        GetModification(modification);
        mSeries = modification == "M"; // empty after a failed question
    }
    std::uint8_t code[1];
    ReadRtc2k(SizeCodeCell, code, 1);
    if (!ReplyCarried(1)) return 0.0f;
    if (code[0] >= 8) return 0.0f;
    return mSeries ? GmaxMSeries[code[0]] : GmaxStandard[code[0]];
}

bool TulvKvt641::ClbReadK(std::uint8_t, std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(KCells[i], value);
}

bool TulvKvt641::ClbReadObr(std::uint8_t, std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(ObrCells[i], value);
}

bool TulvKvt641::ClbWriteK(std::uint8_t, std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(KCells[i], value);
}

bool TulvKvt641::ClbWriteObr(std::uint8_t, std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(ObrCells[i], value);
}

bool TulvKvt641::ClbWriteK_new(std::uint8_t, std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(KCells[i], block);
}

bool TulvKvt641::ClbWriteObr_new(std::uint8_t, std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(ObrCells[i], block);
}

void TulvKvt641::ResetK()
{
    // Two values per write: points 4h+1 and 4h+2 go to the cells of point 4h+1
    // (index 4h+2), points 4h+3 and 4h+4 to those of point 4h+3 (index 4h+4).
    for (int h = 0; h < 2; ++h) {
        std::uint8_t points[16];
        for (int k = 0; k < 4; ++k)
            PutSingle(points + 4 * k, FactoryValues[2 + 4 * h + k], Order);
        const std::span<const std::uint8_t> low(points, 8);
        const std::span<const std::uint8_t> high(points + 8, 8);
        WriteRtc2k(KCells[4 * h + 2], low, 8);
        WriteRtc2k(ObrCells[4 * h + 2], low, 8);
        WriteRtc2k(KCells[4 * h + 4], high, 8);
        WriteRtc2k(ObrCells[4 * h + 4], high, 8);
    }
    // K0 and Ku lie next to each other.
    std::uint8_t zeroAndGain[8];
    PutSingle(zeroAndGain, FactoryValues[0], Order);
    PutSingle(zeroAndGain + 4, FactoryValues[1], Order);
    WriteRtc2k(KCells[0], zeroAndGain, 8);
}

void TulvKvt641::ResetK_new()
{
    for (int i = 2; i <= 9; ++i) {
        WriteCellScrambled(KCells[i], ScrambledSingle(FactoryValues[i]));
        WriteCellScrambled(ObrCells[i], ScrambledSingle(FactoryValues[i]));
    }
    WriteCellScrambled(KCells[0], ScrambledSingle(FactoryValues[0]));
    WriteCellScrambled(KCells[1], ScrambledSingle(FactoryValues[1]));
}

// --- Calibration stamp -------------------------------------------------------

void TulvKvt641::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvKvt641::ClbWriteSignature()
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
