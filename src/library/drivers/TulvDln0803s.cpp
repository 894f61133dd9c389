#include "TulvDln0803s.h"

#include "DriverCodec.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>

namespace {

// Cell of coefficient i; the meter has one channel.
constexpr std::uint16_t KCells[10] = {
    0x0040, // K0
    0x0044, // Ku
    0x0048, 0x004C, 0x0050, 0x0054, 0x0058, 0x005C, 0x0060, 0x0064,
};
constexpr std::uint16_t ObrCells[10] = {
    0x0040, // K0, shared with the K table
    0x0044, // Ku, shared with the K table
    0x0068, 0x006C, 0x0070, 0x0074, 0x0078, 0x007C, 0x0080, 0x0084,
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t GmaxIndexCell = 0x0008;
constexpr std::uint16_t StampCell = 0x01F0;
constexpr std::uint16_t LiveFlowAddr = 0x00B4;
constexpr std::uint16_t RawValueAddr = 0x00B0;

// Singles are stored most significant byte first.
constexpr ByteOrder Order = ByteOrder::BigEndian;

// The number in a version text, "." as the decimal point whatever the locale.
// Blanks around it are allowed, and the text ends at a NUL byte. Throws
// std::invalid_argument when the text is not a number that a single can hold.
double VersionNumber(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    std::string_view digits = text;
    if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-') digits.remove_prefix(1);
    double value = 0.0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size() ||
        !(std::fabs(value) <= std::numeric_limits<float>::max()))
        throw std::invalid_argument("the software version \"" + std::string(text) + "\" is not a number");
    return value;
}

} // namespace

bool TulvDln0803s::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvDln0803s::ReadCell(std::uint16_t cell, float& value)
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

bool TulvDln0803s::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    WriteRtc2k(cell, b, 4);
    return LastError() == ErrOk;
}

bool TulvDln0803s::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvDln0803s::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

// --- Identification ------------------------------------------------------------

float TulvDln0803s::GetPO_Version()
{
    std::string text;
    GetSoftVer(text);
    if (LastError() != ErrOk) return 0.0f;
    // The number follows the text's first character. Characters, not bytes:
    // the text is UTF-8.
    size_t first = text.empty() ? 0 : 1;
    while (first < text.size() && (static_cast<unsigned char>(text[first]) & 0xC0) == 0x80)
        ++first;
    return static_cast<float>(VersionNumber(std::string_view(text).substr(first)) + 0.0001);
}

void TulvDln0803s::GetDevice_ID(std::string& S)
{
    // GetDevID leaves the text as it was when the port check fails.
    S.clear();
    GetDevID(S);
}

std::uint8_t TulvDln0803s::GetDevice_Modification()
{
    std::string id;
    GetDevID(id);
    if (LastError() != ErrOk) return 0;
    // The version question has to be answered; its value is not used, so a
    // version text that is not a number does not stop the identity from deciding.
    try {
        GetPO_Version();
    } catch (const std::invalid_argument&) {
    }
    if (LastError() != ErrOk) return 0;
    if (id == "DLN0803-C") return 1;
    if (id == "DLN0803-CM") return 2;
    return 0;
}

void TulvDln0803s::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[8];
    ReadCfg(NumberCell, b, 8);
    if (!ReplyCarried(8)) {
        S.clear();
        return;
    }
    S = CharacterText(b, ControlBytes::AsBlanks);
}

float TulvDln0803s::ClbReadG()
{
    return ReadLive(LiveFlowAddr);
}

float TulvDln0803s::ClbReadSFR()
{
    return ReadLive(RawValueAddr);
}

float TulvDln0803s::ClbReadGmax()
{
    const std::uint8_t modification = GetDevice_Modification();
    std::uint8_t index[1];
    ReadRtc2k(GmaxIndexCell, index, 1);
    if (!ReplyCarried(1)) return 0.0f;
    if (modification == 1) return index[0] < 7 ? GmaxModification1[index[0]] : 0.0f;
    if (modification == 2) return index[0] < 8 ? GmaxModification2[index[0]] : 0.0f;
    return 0.0f;
}

bool TulvDln0803s::ClbReadK(std::uint8_t, std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(KCells[i], value);
}

bool TulvDln0803s::ClbReadObr(std::uint8_t, std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(ObrCells[i], value);
}

bool TulvDln0803s::ClbWriteK(std::uint8_t, std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(KCells[i], value);
}

bool TulvDln0803s::ClbWriteObr(std::uint8_t, std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(ObrCells[i], value);
}

bool TulvDln0803s::ClbWriteK_new(std::uint8_t, std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(KCells[i], block);
}

bool TulvDln0803s::ClbWriteObr_new(std::uint8_t, std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(ObrCells[i], block);
}

void TulvDln0803s::ResetK()
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

void TulvDln0803s::ResetK_new()
{
    for (int i = 2; i <= 9; ++i) {
        WriteCellScrambled(KCells[i], ScrambledSingle(FactoryValues[i]));
        WriteCellScrambled(ObrCells[i], ScrambledSingle(FactoryValues[i]));
    }
    WriteCellScrambled(KCells[0], ScrambledSingle(FactoryValues[0]));
    WriteCellScrambled(KCells[1], ScrambledSingle(FactoryValues[1]));
}

// --- Calibration stamp -------------------------------------------------------

void TulvDln0803s::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvDln0803s::ClbWriteSignature()
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
