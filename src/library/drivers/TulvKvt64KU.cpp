#include "TulvKvt64KU.h"

#include "DriverCodec.h"

#include <algorithm>
#include <stdexcept>

namespace {

// Cell of coefficient i; the meter has one channel.
constexpr std::uint16_t KCells[10] = {
    0x0090, // K0
    0x0094, // Ku
    0x00A0, 0x00A4, 0x00A8, 0x00AC, 0x00B0, 0x00B4, 0x00B8, 0x00BC,
};
constexpr std::uint16_t ObrCells[10] = {
    0x0090, // K0, shared with the K table
    0x0094, // Ku, shared with the K table
    0x00C0, 0x00C4, 0x00C8, 0x00CC, 0x00D0, 0x00D4, 0x00D8, 0x00DC,
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t StampCell = 0x0020;
constexpr std::uint16_t ChipSettingsCell = 0x00F0;
constexpr std::uint16_t LiveFlowAddr = 0x001E;
constexpr std::uint16_t RawBlockAddr = 0x03A0; // starts with the raw measurement
constexpr std::uint16_t SoundTimeAddr[2] = {0x03A4, 0x03A8};
constexpr std::uint16_t AmplitudeAddr[2] = {0x03AC, 0x03B0};
constexpr std::uint16_t ErrorFlagsAddr = 0x03F0;
constexpr std::uint16_t DataBufferAddr = 0x0800;

// Speed of sound in water (m/s) by temperature (°C).
constexpr float SoundTemperature[13] = {0.0f,  10.0f, 20.0f, 30.0f, 40.0f,  50.0f, 60.0f,
                                        70.0f, 77.5f, 80.0f, 90.0f, 100.0f, 150.0f};
constexpr float SoundSpeed[13] = {1402.7f, 1447.6f, 1482.7f, 1509.4f, 1528.9f, 1542.6f, 1551.0f,
                                  1554.8f, 1555.6f, 1554.5f, 1550.5f, 1544.5f, 1450.0f};

// Singles and integers are stored least significant byte first.
constexpr ByteOrder Order = ByteOrder::LittleEndian;

} // namespace

// --- Relay memory access -----------------------------------------------------

bool TulvKvt64KU::RelayRead(Area area, std::uint16_t addr, std::span<std::uint8_t> out)
{
    // The relay copies whatever the reply carries; a scratch buffer that holds
    // any reply keeps the caller's bytes untouched until the count is checked.
    std::uint8_t reply[FrameRelay::MaxData];
    const auto count = static_cast<std::uint8_t>(out.size());
    if (area == Area::Rtc2k)
        GZU_ReadRtc2k(addr, reply, count);
    else
        GZU_ReadRam(addr, reply, count);
    SetLastError(ReadOutcome(LastError(), FReply[7], count));
    if (LastError() != ErrOk) return false;
    std::copy_n(reply, count, out.begin());
    return true;
}

bool TulvKvt64KU::ReadSingle(Area area, std::uint16_t addr, float& value)
{
    std::uint8_t b[4];
    if (!RelayRead(area, addr, b)) return false;
    value = GetSingle(b, Order);
    return true;
}

bool TulvKvt64KU::ReadCell(std::uint16_t cell, float& value)
{
    if (ReadSingle(Area::Rtc2k, cell, value)) return true;
    value = 0.0f;
    return false;
}

bool TulvKvt64KU::WriteCell(std::uint16_t cell, float value)
{
    // The relay copies up to 8 reply bytes back into the written buffer; they
    // land in this scratch and are not used.
    std::uint8_t data[8] = {};
    PutSingle(data, value, Order);
    GZU_WriteRtc2k(cell, data, 4);
    return LastError() == ErrOk;
}

bool TulvKvt64KU::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    auto data = ScrambledWriteData(block, Order);
    GZU_WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvKvt64KU::ReadLive(std::uint16_t addr)
{
    float value = 0.0f;
    return ReadSingle(Area::Ram, addr, value) ? value : 0.0f;
}

void TulvKvt64KU::ReadRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    RelayRead(Area::Rtc2k, Addr, Data.first(Count));
}

void TulvKvt64KU::ReadRAM(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    RelayRead(Area::Ram, Addr, Data.first(Count));
}

void TulvKvt64KU::WriteRtc2k_new(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
{
    WriteRtc2k_0A42(Addr, Data, Count);
}

// --- Identity and live values ------------------------------------------------

void TulvKvt64KU::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[4];
    if (!RelayRead(Area::Rtc2k, NumberCell, b)) {
        S.clear();
        return;
    }
    S = DecimalText(GetWord(b, Order));
}

void TulvKvt64KU::GetDevID(std::string& S)
{
    GZU_GetDevID(S);
}

float TulvKvt64KU::ClbReadG()
{
    return ReadLive(LiveFlowAddr);
}

float TulvKvt64KU::ClbReadSFR()
{
    return ReadLive(RawBlockAddr);
}

// --- Calibration tables ------------------------------------------------------

bool TulvKvt64KU::ClbReadK(std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(KCells[i], value);
}

bool TulvKvt64KU::ClbReadObr(std::uint8_t i, float& value)
{
    if (i > 9) return false;
    return ReadCell(ObrCells[i], value);
}

bool TulvKvt64KU::ClbWriteK(std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(KCells[i], value);
}

bool TulvKvt64KU::ClbWriteObr(std::uint8_t i, float value)
{
    if (i > 9) return false;
    return WriteCell(ObrCells[i], value);
}

bool TulvKvt64KU::ClbWriteK_new(std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(KCells[i], block);
}

bool TulvKvt64KU::ClbWriteObr_new(std::uint8_t i, std::uint64_t block)
{
    if (i > 9) return false;
    return WriteCellScrambled(ObrCells[i], block);
}

void TulvKvt64KU::ResetK()
{
    GZU_ResetClbTable();
}

bool TulvKvt64KU::ClbReadTableK(std::span<std::uint8_t, 40> Data)
{
    return RelayRead(Area::Rtc2k, KCells[0], Data);
}

bool TulvKvt64KU::ClbReadTableObr(std::span<std::uint8_t, 40> Data)
{
    // K0 and Ku lie before a gap; the Obr points follow the K points.
    std::uint8_t table[40];
    if (!RelayRead(Area::Rtc2k, ObrCells[0], std::span<std::uint8_t>(table, 8))) return false;
    if (!RelayRead(Area::Rtc2k, ObrCells[2], std::span<std::uint8_t>(table + 8, 32))) return false;
    std::copy(std::begin(table), std::end(table), Data.begin());
    return true;
}

// --- Ultrasonic measurements -------------------------------------------------

float TulvKvt64KU::clb_CalcSoundPathLength(float Temperature, float SoundTime)
{
    // Segment k covers T(k) < Temperature <= T(k+1); a NaN matches none.
    for (int k = 0; k < 12; ++k) {
        if (SoundTemperature[k] < Temperature && Temperature <= SoundTemperature[k + 1]) {
            const double c0 = SoundSpeed[k];
            const double c1 = SoundSpeed[k + 1];
            const double t0 = SoundTemperature[k];
            const double t1 = SoundTemperature[k + 1];
            const auto speed = static_cast<float>(c0 + (c1 - c0) * (Temperature - t0) / (t1 - t0));
            // Nanoseconds times metres per second.
            return static_cast<float>(static_cast<double>(SoundTime) * speed / 1e9);
        }
    }
    return 0.0f;
}

float TulvKvt64KU::ClbRead_SoundTime()
{
    float first = 0.0f;
    float second = 0.0f;
    if (!ReadSingle(Area::Ram, SoundTimeAddr[0], first)) return 0.0f;
    if (!ReadSingle(Area::Ram, SoundTimeAddr[1], second)) return 0.0f;
    return static_cast<float>((static_cast<double>(first) + second) / 2);
}

float TulvKvt64KU::ClbRead_AmpValue(std::uint8_t Which)
{
    return ReadLive(AmplitudeAddr[Which != 0 ? 1 : 0]);
}

int TulvKvt64KU::ReadErrors()
{
    std::uint8_t flags[1];
    return RelayRead(Area::Ram, ErrorFlagsAddr, flags) ? flags[0] : 0;
}

bool TulvKvt64KU::ClbReadRawValues(std::span<std::uint8_t, 36> Buf)
{
    return RelayRead(Area::Ram, RawBlockAddr, Buf);
}

bool TulvKvt64KU::ClbRead_Cons_SFR_SONIC_DATA(std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    return RelayRead(Area::Ram, DataBufferAddr, Data.first(Count));
}

bool TulvKvt64KU::ClbReadGP30_FHL_settings(std::span<std::uint8_t, 7> Buf)
{
    return RelayRead(Area::Rtc2k, ChipSettingsCell, Buf);
}

void TulvKvt64KU::StartPoverkaMode()
{
    KU_StartPoverka();
}

void TulvKvt64KU::StopPoverkaMode()
{
    KU_StopPoverka();
}

// --- Calibration stamp -------------------------------------------------------

void TulvKvt64KU::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvKvt64KU::ClbWriteSignature()
{
    // Signature is either empty or exactly 8 characters.
    if (!FSignatureSet || FSignature.empty()) return false;
    if (FSignatureWritten) return true;
    auto image = StampImage(FSignature, LocalNow()); // the relay copies reply bytes back into it
    GZU_WriteRtc2k(StampCell, image, 16);
    if (LastError() != ErrOk) return false;
    FSignatureWritten = true;
    return true;
}
