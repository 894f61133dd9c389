#include "TulvKvt64M1.h"

#include "DriverCodec.h"

namespace {

// Cell of coefficient i; the meter has one channel.
constexpr std::uint16_t KCells[10] = {
    0x0120, // K0
    0x0124, // Ku
    0x0128, 0x012C, 0x0130, 0x0134, 0x0138, 0x013C, 0x0140, 0x0144,
};
constexpr std::uint16_t ObrCells[10] = {
    0x0120, // K0, shared with the K table
    0x0124, // Ku, shared with the K table
    0x0148, 0x014C, 0x0150, 0x0154, 0x0158, 0x015C, 0x0160, 0x0164,
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t StampCell = 0x0020;
constexpr std::uint16_t LiveFlowAddr = 0x0020;
constexpr std::uint16_t RawValueAddr = 0x03A0;

// Singles and integers are stored least significant byte first.
constexpr ByteOrder Order = ByteOrder::LittleEndian;

} // namespace

bool TulvKvt64M1::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvKvt64M1::ReadCell(std::uint16_t cell, float& value)
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

bool TulvKvt64M1::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

bool TulvKvt64M1::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvKvt64M1::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

void TulvKvt64M1::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[4];
    ReadRtc2k(NumberCell, b, 4);
    if (!ReplyCarried(4)) {
        S.clear();
        return;
    }
    S = DecimalText(GetWord(b, Order));
}

float TulvKvt64M1::ClbReadG()
{
    return ReadLive(LiveFlowAddr);
}

float TulvKvt64M1::ClbReadSFR()
{
    return ReadLive(RawValueAddr);
}

bool TulvKvt64M1::ClbReadK(std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(KCells[i], value);
}

bool TulvKvt64M1::ClbReadObr(std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(ObrCells[i], value);
}

bool TulvKvt64M1::ClbWriteK(std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(KCells[i], value);
}

bool TulvKvt64M1::ClbWriteObr(std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(ObrCells[i], value);
}

bool TulvKvt64M1::ClbWriteK_new(std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(KCells[i], block);
}

bool TulvKvt64M1::ClbWriteObr_new(std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(ObrCells[i], block);
}

void TulvKvt64M1::ResetK()
{
    for (int i = 2; i <= 9; ++i) {
        WriteCellScrambled(KCells[i], ScrambledSingle(FactoryValues[i]));
        WriteCellScrambled(ObrCells[i], ScrambledSingle(FactoryValues[i]));
    }
    WriteCellScrambled(KCells[0], ScrambledSingle(FactoryValues[0]));
    WriteCellScrambled(KCells[1], ScrambledSingle(FactoryValues[1]));
    WriteCellScrambled(ObrCells[0], ScrambledSingle(FactoryValues[0]));
    WriteCellScrambled(ObrCells[1], ScrambledSingle(FactoryValues[1]));
}

// --- Calibration stamp -------------------------------------------------------

void TulvKvt64M1::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvKvt64M1::ClbWriteSignature()
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
