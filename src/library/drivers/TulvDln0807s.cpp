#include "TulvDln0807s.h"

#include "DriverCodec.h"

#include <span>

namespace {

// Cell of coefficient i; both channels use the same cells.
constexpr std::uint16_t KCells[10] = {
    0x0100, // K0
    0x0104, // Ku
    0x0108, 0x010C, 0x0110, 0x0114, 0x0118, 0x011C, 0x0120, 0x0124,
};
constexpr std::uint16_t ObrCells[10] = {
    0x0100, // K0, shared with the K table
    0x0104, // Ku, shared with the K table
    0x0128, 0x012C, 0x0130, 0x0134, 0x0138, 0x013C, 0x0140, 0x0144,
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t GmaxCell = 0x0010;
constexpr std::uint16_t StampCell = 0x01F0;
constexpr std::uint16_t LiveFlowAddr = 0x00B4;
constexpr std::uint16_t RawValueAddr = 0x00B0;

// The identity text of the meters whose factory number is read.
constexpr std::string_view IdentityMark = "DLN-08.07";

// Singles are stored least significant byte first.
constexpr ByteOrder Order = ByteOrder::LittleEndian;

} // namespace

bool TulvDln0807s::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvDln0807s::ReadCell(std::uint16_t cell, float& value)
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

bool TulvDln0807s::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

float TulvDln0807s::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

void TulvDln0807s::GetDeviceNumber(std::string& S)
{
    // The number is read only from a meter that says it is one of ours.
    std::string id;
    GetDevID(id);
    S.clear();
    if (LastError() != ErrOk) return;
    if (id.find(IdentityMark) == std::string::npos) return;
    std::uint8_t b[8];
    ReadRtc2k(NumberCell, b, 8);
    if (!ReplyCarried(8)) return;
    S = CharacterText(b, ControlBytes::Kept);
}

float TulvDln0807s::ClbReadG()
{
    return ReadLive(LiveFlowAddr);
}

float TulvDln0807s::ClbReadSFR()
{
    return ReadLive(RawValueAddr);
}

float TulvDln0807s::ClbReadGmax()
{
    float gmax = 0.0f;
    ReadCell(GmaxCell, gmax);
    return gmax;
}

bool TulvDln0807s::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(KCells[i], value);
}

bool TulvDln0807s::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(ObrCells[i], value);
}

bool TulvDln0807s::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(KCells[i], value);
}

bool TulvDln0807s::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(ObrCells[i], value);
}

void TulvDln0807s::ResetK()
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

// --- Calibration stamp -------------------------------------------------------

void TulvDln0807s::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvDln0807s::ClbWriteSignature()
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
