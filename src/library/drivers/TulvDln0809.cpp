#include "TulvDln0809.h"

#include "DriverCodec.h"

namespace {

// Cell of coefficient i; the meter has one channel.
constexpr std::uint16_t KCells[10] = {
    0x0240, // K0
    0x0244, // Ku
    0x0248, 0x024C, 0x0250, 0x0254, 0x0258, 0x025C, 0x0260, 0x0264,
};
constexpr std::uint16_t ObrCells[10] = {
    0x0240, // K0, shared with the K table
    0x0244, // Ku, shared with the K table
    0x0268, 0x026C, 0x0270, 0x0274, 0x0278, 0x027C, 0x0280, 0x0284,
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t StampCell = 0x0020;
constexpr std::uint16_t LiveFlowAddr = 0x000C;
constexpr std::uint16_t RawValueAddr = 0x03A0;

// Singles and integers are stored least significant byte first.
constexpr ByteOrder Order = ByteOrder::LittleEndian;

} // namespace

bool TulvDln0809::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvDln0809::ReadCell(std::uint16_t cell, float& value)
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

bool TulvDln0809::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

bool TulvDln0809::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvDln0809::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

void TulvDln0809::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[4];
    ReadRtc2k(NumberCell, b, 4);
    if (!ReplyCarried(4)) {
        S.clear();
        return;
    }
    S = DecimalText(GetWord(b, Order));
}

float TulvDln0809::ClbReadG()
{
    return ReadLive(LiveFlowAddr);
}

float TulvDln0809::ClbReadSFR()
{
    return ReadLive(RawValueAddr);
}

bool TulvDln0809::ClbReadK(std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(KCells[i], value);
}

bool TulvDln0809::ClbReadObr(std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(ObrCells[i], value);
}

bool TulvDln0809::ClbWriteK(std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(KCells[i], value);
}

bool TulvDln0809::ClbWriteObr(std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(ObrCells[i], value);
}

bool TulvDln0809::ClbWriteK_new(std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(KCells[i], block);
}

bool TulvDln0809::ClbWriteObr_new(std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(ObrCells[i], block);
}

void TulvDln0809::ResetK()
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

void TulvDln0809::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvDln0809::ClbWriteSignature()
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
