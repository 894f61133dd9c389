#include "TulvDln0808.h"

#include "DriverCodec.h"

#include <bit>
#include <cmath>
#include <cstdio>

namespace {

// First register of coefficient i; one channel. The points run downwards.
constexpr std::uint16_t KCells[10] = {
    370, // K0: one register
    371, // Ku
    352, 350, 348, 346, 344, 342, 340, 338,
};
constexpr std::uint16_t ObrCells[10] = {
    370, // K0, shared with the K table
    371, // Ku, shared with the K table
    368, 366, 364, 362, 360, 358, 356, 354,
};

constexpr std::uint16_t FlowReg = 0;
constexpr std::uint16_t RawValueReg = 107;
constexpr std::uint16_t GmaxReg = 299;
constexpr std::uint16_t NumberReg = 315;
constexpr std::uint16_t VersionReg = 318;

// Factory values by index as this meter keeps them: K0, Ku (the single of bit
// pattern 0x34200000, not 1.0), points 1..8.
const float OwnFactoryValues[10] = {
    0.0f, std::bit_cast<float>(std::uint32_t{0x34200000}), 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f,
};

// Two registers hold a single or an integer most significant byte first.
constexpr ByteOrder Order = ByteOrder::BigEndian;

} // namespace

bool TulvDln0808::ReadPair(std::uint16_t start, std::uint8_t (&b)[4])
{
    return ReadHoldingRegisters(start, 2, b);
}

float TulvDln0808::ReadInteger(std::uint16_t start)
{
    std::uint8_t b[4];
    if (!ReadPair(start, b)) return 0.0f;
    return static_cast<float>(static_cast<std::int32_t>(GetWord(b, Order)));
}

bool TulvDln0808::ReadCell(std::uint16_t cell, bool zeroCell, float& value)
{
    std::uint8_t b[4];
    if (!ReadPair(cell, b)) {
        value = 0.0f;
        return false;
    }
    // K0: the low byte of its register as a signed number.
    value = zeroCell ? static_cast<float>(static_cast<std::int8_t>(b[1])) : GetSingle(b, Order);
    return true;
}

bool TulvDln0808::WriteCell(std::uint16_t cell, bool zeroCell, float value)
{
    if (zeroCell) {
        // The register keeps -128..127; anything else would arrive wrapped
        // (128 as -128), so it is refused rather than written.
        const float whole = std::trunc(value);
        if (!(whole >= -128.0f && whole <= 127.0f)) return false;
        const auto reg = static_cast<std::uint16_t>(static_cast<std::int16_t>(whole));
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg)};
        return WriteMultipleRegisters(cell, 1, b);
    }
    std::uint8_t b[4];
    PutSingle(b, value, Order);
    return WriteMultipleRegisters(cell, 2, b);
}

void TulvDln0808::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[4];
    if (!ReadPair(NumberReg, b)) {
        S.clear();
        return;
    }
    S = DecimalText(GetWord(b, Order));
}

void TulvDln0808::GetSoftVer(std::string& S)
{
    std::uint8_t b[2];
    if (!ReadHoldingRegisters(VersionReg, 1, b)) {
        S.clear();
        return;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%02d.%02d", b[0], b[1]);
    S = text;
}

float TulvDln0808::ClbReadG(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadInteger(FlowReg);
}

float TulvDln0808::ClbReadSFR(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadInteger(RawValueReg);
}

float TulvDln0808::ClbReadGmax(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    std::uint8_t b[4];
    return ReadPair(GmaxReg, b) ? GetSingle(b, Order) : 0.0f;
}

bool TulvDln0808::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(KCells[i], i == 0, value);
}

bool TulvDln0808::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(ObrCells[i], i == 0, value);
}

bool TulvDln0808::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(KCells[i], i == 0, value);
}

bool TulvDln0808::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(ObrCells[i], i == 0, value);
}

void TulvDln0808::ResetK()
{
    for (std::uint8_t i = 0; i <= 9; ++i)
        ClbWriteK(1, i, OwnFactoryValues[i]);
    for (std::uint8_t i = 2; i <= 9; ++i)
        ClbWriteObr(1, i, OwnFactoryValues[i]);
}

// --- Calibration stamp -------------------------------------------------------

bool TulvDln0808::ClbWriteSignature()
{
    if (!HasSignature()) return false;
    if (SignatureWritten()) return true;
    MarkSignatureWritten();
    return LastError() == ErrOk;
}
