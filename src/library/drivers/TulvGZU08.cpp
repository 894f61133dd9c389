#include "TulvGZU08.h"

#include "DriverCodec.h"

#include <algorithm>
#include <stdexcept>

namespace {

// Cell of coefficient i (row) for direction 1 and 2 (columns); K0 and Ku are
// shared by the two directions.
constexpr std::uint16_t KCells[10][2] = {
    {0x0300, 0x0300}, // K0
    {0x0304, 0x0304}, // Ku
    {0x0310, 0x0330}, {0x0314, 0x0334}, {0x0318, 0x0338}, {0x031C, 0x033C},
    {0x0320, 0x0340}, {0x0324, 0x0344}, {0x0328, 0x0348}, {0x032C, 0x034C},
};
constexpr std::uint16_t ObrCells[10][2] = {
    {0x0300, 0x0300}, // K0, shared with the K table
    {0x0304, 0x0304}, // Ku, shared with the K table
    {0x0350, 0x0370}, {0x0354, 0x0374}, {0x0358, 0x0378}, {0x035C, 0x037C},
    {0x0360, 0x0380}, {0x0364, 0x0384}, {0x0368, 0x0388}, {0x036C, 0x038C},
};

constexpr std::uint16_t NumberCell = 0x0000;
constexpr std::uint16_t StampCell = 0x02D0;
constexpr std::uint16_t LiveFlowAddr = 0x0010;
constexpr std::uint16_t RawBlockAddr = 0x03A0; // starts with the raw measurement
constexpr int RawBlockSize = 36;
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

bool TulvGZU08::RelayRead(Area area, std::uint16_t addr, std::span<std::uint8_t> out)
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

bool TulvGZU08::ReadSingle(Area area, std::uint16_t addr, float& value)
{
    std::uint8_t b[4];
    if (!RelayRead(area, addr, b)) return false;
    value = GetSingle(b, Order);
    return true;
}

bool TulvGZU08::ReadCell(std::uint16_t cell, float& value)
{
    if (ReadSingle(Area::Rtc2k, cell, value)) return true;
    value = 0.0f;
    return false;
}

bool TulvGZU08::WriteCell(std::uint16_t cell, float value)
{
    // The relay copies up to 8 reply bytes back into the written buffer; they
    // land in this scratch and are not used.
    std::uint8_t data[8] = {};
    PutSingle(data, value, Order);
    GZU_WriteRtc2k(cell, data, 4);
    return LastError() == ErrOk;
}

bool TulvGZU08::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    auto data = ScrambledWriteData(block, Order);
    GZU_WriteRtc2k(cell, data, 9);
    return LastError() == ErrOk;
}

float TulvGZU08::ReadLive(std::uint16_t addr)
{
    float value = 0.0f;
    return ReadSingle(Area::Ram, addr, value) ? value : 0.0f;
}

void TulvGZU08::ReadRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    RelayRead(Area::Rtc2k, Addr, Data.first(Count));
}

void TulvGZU08::ReadRAM(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
{
    if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    RelayRead(Area::Ram, Addr, Data.first(Count));
}

void TulvGZU08::WriteRtc2k_new(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
{
    if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    // The relay hands the meter's whole echo back into the written buffer; a
    // scratch that holds any reply keeps an echo longer than the data from
    // failing a write the meter has taken, and leaves the caller's bytes alone.
    std::uint8_t scratch[FrameRelay::MaxData] = {};
    std::copy_n(Data.begin(), std::min<size_t>(Count, sizeof scratch), scratch);
    GZU_Write_Rtc2k_new(Addr, scratch, Count);
}

// --- Identity and live values ------------------------------------------------

void TulvGZU08::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[4];
    if (!RelayRead(Area::Rtc2k, NumberCell, b)) {
        S.clear();
        return;
    }
    S = DecimalText(GetWord(b, Order));
}

void TulvGZU08::GetDevID(std::string& S)
{
    GZU_GetDevID(S);
}

float TulvGZU08::ClbReadG()
{
    return ReadLive(LiveFlowAddr);
}

float TulvGZU08::ClbReadSFR()
{
    return ReadLive(RawBlockAddr);
}

// --- Calibration tables ------------------------------------------------------

bool TulvGZU08::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(KCells[i][ch - 1], value);
}

bool TulvGZU08::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(ObrCells[i][ch - 1], value);
}

bool TulvGZU08::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(KCells[i][ch - 1], value);
}

bool TulvGZU08::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCell(ObrCells[i][ch - 1], value);
}

bool TulvGZU08::ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(KCells[i][ch - 1], block);
}

bool TulvGZU08::ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(ObrCells[i][ch - 1], block);
}

void TulvGZU08::ResetK()
{
    GZU_ResetClbTable();
}

bool TulvGZU08::ClbReadTableK(std::span<std::uint8_t, 40>)
{
    return false;
}

bool TulvGZU08::ClbReadTableObr(std::span<std::uint8_t, 40>)
{
    return false;
}

// --- Ultrasonic measurements -------------------------------------------------

float TulvGZU08::clb_CalcSoundPathLength(float Temperature, float SoundTime)
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

int TulvGZU08::ReadErrors()
{
    std::uint8_t flags[1];
    return RelayRead(Area::Ram, ErrorFlagsAddr, flags) ? flags[0] : 0;
}

bool TulvGZU08::ClbReadRawValues(std::span<std::uint8_t, 36> Buf)
{
    return RelayRead(Area::Ram, RawBlockAddr, Buf);
}

bool TulvGZU08::ClbReadSFRs(std::span<std::uint8_t, 12> Buf)
{
    std::uint8_t block[RawBlockSize];
    if (!RelayRead(Area::Ram, RawBlockAddr, block)) return false;
    std::copy_n(block, Buf.size(), Buf.begin());
    return true;
}

bool TulvGZU08::Read_CLB_G_VALUES(std::span<std::uint8_t, 13> Buf)
{
    return RelayRead(Area::Ram, DataBufferAddr, Buf);
}

void TulvGZU08::StartPoverkaMode()
{
    GZU_StartPoverka();
}

void TulvGZU08::StopPoverkaMode()
{
    GZU_StopPoverka();
}

// --- Calibration stamp -------------------------------------------------------

void TulvGZU08::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvGZU08::ClbWriteSignature()
{
    // Signature is either empty or exactly 8 characters.
    if (!FSignatureSet || FSignature.empty()) return false;
    if (FSignatureWritten) return true;
    const auto image = StampImage(FSignature, LocalNow());
    WriteRtc2k_new(StampCell, image, 16);
    if (LastError() != ErrOk) return false;
    FSignatureWritten = true;
    return true;
}
