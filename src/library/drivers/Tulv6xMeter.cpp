#include "Tulv6xMeter.h"

#include <algorithm>
#include <stdexcept>

// --- Cells and the table operations ---------------------------------------------

bool Tulv6xMeter::CellOf(CalTable t, std::uint8_t ch, std::uint8_t i, std::uint16_t& cell) const
{
    return LookUpCell(FMap.k, FMap.obr, t, FMap.channels == ChannelArg::Checked, ch, i, cell);
}

bool Tulv6xMeter::ReadTable(CalTable t, std::uint8_t ch, std::uint8_t i, float& value)
{
    std::uint16_t cell = 0;
    return CellOf(t, ch, i, cell) && ReadCell(cell, value);
}

bool Tulv6xMeter::WriteTable(CalTable t, std::uint8_t ch, std::uint8_t i, float value)
{
    std::uint16_t cell = 0;
    return CellOf(t, ch, i, cell) && WriteCell(cell, value);
}

bool Tulv6xMeter::WriteTableScrambled(CalTable t, std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    std::uint16_t cell = 0;
    return CellOf(t, ch, i, cell) && WriteCellScrambled(cell, block);
}

// --- One cell ----------------------------------------------------------------------

bool Tulv6xMeter::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool Tulv6xMeter::RelayRead(bool ram, std::uint16_t addr, std::span<std::uint8_t> out)
{
    // The relay copies whatever the reply carries; a scratch buffer that holds
    // any reply keeps the caller's bytes untouched until the count is checked.
    std::uint8_t reply[FrameRelay::MaxData];
    const auto count = static_cast<std::uint8_t>(out.size());
    if (ram)
        GZU_ReadRam(addr, reply, count);
    else
        GZU_ReadRtc2k(addr, reply, count);
    SetLastError(ReadOutcome(LastError(), FReply[7], count));
    if (LastError() != ErrOk) return false;
    std::copy_n(reply, count, out.begin());
    return true;
}

bool Tulv6xMeter::ReadRtc2kExactly(std::uint16_t addr, std::span<std::uint8_t> out)
{
    if (FMap.relay) return RelayRead(false, addr, out);
    const auto count = static_cast<std::uint8_t>(out.size());
    Tulv6xProtocol::ReadRtc2k(addr, out, count);
    return ReplyCarried(count);
}

bool Tulv6xMeter::ReadRamExactly(std::uint16_t addr, std::span<std::uint8_t> out)
{
    if (FMap.relay) return RelayRead(true, addr, out);
    const auto count = static_cast<std::uint8_t>(out.size());
    Tulv6xProtocol::ReadRAM(addr, out, count);
    return ReplyCarried(count);
}

void Tulv6xMeter::WritePlain(std::uint16_t cell, std::span<const std::uint8_t> bytes)
{
    const auto count = static_cast<std::uint8_t>(bytes.size());
    if (FMap.relay) {
        // The relay copies up to 8 reply bytes back into the written buffer; they
        // land in this scratch and are not used.
        std::uint8_t data[16] = {};
        std::copy(bytes.begin(), bytes.end(), data);
        GZU_WriteRtc2k(cell, std::span<std::uint8_t>(data, std::max<size_t>(8, bytes.size())), count);
    } else {
        WriteRtc2k(cell, bytes, count);
    }
}

bool Tulv6xMeter::ReadCell(std::uint16_t cell, float& value)
{
    std::uint8_t b[4];
    if (!ReadRtc2kExactly(cell, b)) {
        value = 0.0f;
        return false;
    }
    value = GetSingle(b, FMap.order);
    return true;
}

bool Tulv6xMeter::WriteCell(std::uint16_t cell, float value)
{
    std::uint8_t b[4];
    PutSingle(b, value, FMap.order);
    WritePlain(cell, b);
    return LastError() == ErrOk;
}

bool Tulv6xMeter::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, FMap.order);
    WritePlain(cell, data);
    return LastError() == ErrOk;
}

// --- Live values, number, Gmax --------------------------------------------------------

float Tulv6xMeter::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    return ReadRamExactly(addr, b) ? GetSingle(b, FMap.order) : 0.0f;
}

float Tulv6xMeter::ReadLive(const std::uint16_t (&addr)[2], std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadLive(addr[ch - 1]);
}

void Tulv6xMeter::ReadNumber(std::string& S)
{
    std::uint8_t b[8];
    switch (FMap.number) {
    case NumberForm::Decimal:
        if (!ReadRtc2kExactly(FMap.numberCell, std::span<std::uint8_t>(b, 4))) break;
        S = DecimalText(GetWord(b, FMap.order));
        return;
    case NumberForm::Characters:
        if (!ReadRtc2kExactly(FMap.numberCell, b)) break;
        S = CharacterText(b, ControlBytes::Kept);
        return;
    case NumberForm::CfgCharacters:
        ReadCfg(FMap.numberCell, b, 8);
        if (!ReplyCarried(8)) break;
        S = CharacterText(b, ControlBytes::AsBlanks);
        return;
    case NumberForm::Own: break;
    }
    S.clear();
}

float Tulv6xMeter::ReadGmaxCell()
{
    float gmax = 0.0f;
    ReadCell(FMap.gmaxCell, gmax);
    return gmax;
}

// --- Factory resets -----------------------------------------------------------------

void Tulv6xMeter::Reset()
{
    switch (FMap.reset) {
    case ResetForm::None: return;
    case ResetForm::Plain: ResetPlain(); return;
    case ResetForm::Scrambled: ResetScrambled(true, FMap.resetChannels); return;
    case ResetForm::Relay: GZU_ResetClbTable(); return;
    }
}

void Tulv6xMeter::ResetScrambledOnce()
{
    ResetScrambled(false, 1);
}

void Tulv6xMeter::ResetPlain()
{
    // Channel 1. Two values per write: points 4h+1 and 4h+2 go to the cells of
    // point 4h+1 (index 4h+2), points 4h+3 and 4h+4 to those of point 4h+3
    // (index 4h+4).
    for (int h = 0; h < 2; ++h) {
        std::uint8_t points[16];
        for (int k = 0; k < 4; ++k)
            PutSingle(points + 4 * k, FactoryValues[2 + 4 * h + k], FMap.order);
        const std::span<const std::uint8_t> low(points, 8);
        const std::span<const std::uint8_t> high(points + 8, 8);
        WritePlain(FMap.k[4 * h + 2][0], low);
        WritePlain(FMap.obr[4 * h + 2][0], low);
        WritePlain(FMap.k[4 * h + 4][0], high);
        WritePlain(FMap.obr[4 * h + 4][0], high);
    }
    // K0 and Ku lie next to each other.
    std::uint8_t zeroAndGain[8];
    PutSingle(zeroAndGain, FactoryValues[0], FMap.order);
    PutSingle(zeroAndGain + 4, FactoryValues[1], FMap.order);
    WritePlain(FMap.k[0][0], zeroAndGain);
}

void Tulv6xMeter::ResetScrambled(bool twice, int channels)
{
    // A fresh block for every write.
    const auto write = [this](std::uint16_t cell, int i) { WriteCellScrambled(cell, ScrambledSingle(FactoryValues[i])); };
    for (int c = 0; c < channels; ++c) {
        for (int i = 2; i <= 9; ++i) {
            write(FMap.k[i][c], i);
            write(FMap.obr[i][c], i);
        }
        write(FMap.k[0][c], 0);
        write(FMap.k[1][c], 1);
        if (!twice) continue;
        write(FMap.obr[0][c], 0);
        write(FMap.obr[1][c], 1);
    }
}

// --- The checksum-guarded block -------------------------------------------------------

namespace {

// The meter takes a block write in 8-byte pieces until at most this many bytes
// remain, then the rest in one piece.
constexpr int LastPieceLimit = 64;

std::uint16_t BlockChecksum(const std::uint8_t* block)
{
    return SumComplement16(std::span<const std::uint8_t>(block, GuardedBlock::TablesSize));
}

} // namespace

bool Tulv6xMeter::ReadGuarded(Block& block)
{
    ReadRtc2kP(FMap.guarded.start, block, GuardedBlock::Size);
    // A short block must not be written back: its missing part would overwrite
    // the meter's tables with whatever the buffer held.
    return ReplyCarried(GuardedBlock::Size);
}

bool Tulv6xMeter::WriteGuarded(Block& block)
{
    const std::uint16_t sum = BlockChecksum(block);
    block[GuardedBlock::TablesSize] = static_cast<std::uint8_t>(sum >> 8);
    block[GuardedBlock::TablesSize + 1] = static_cast<std::uint8_t>(sum);
    for (int offset = 0; offset < GuardedBlock::Size;) {
        const int remaining = GuardedBlock::Size - offset;
        const int piece = remaining > LastPieceLimit ? 8 : remaining;
        WriteRtc2kP(static_cast<std::uint16_t>(FMap.guarded.start + offset), block + offset,
                    static_cast<std::uint8_t>(piece));
        if (LastError() != ErrOk) return false;
        offset += piece;
    }
    ClbWriteSignature(); // not part of the result
    return true;
}

bool Tulv6xMeter::RewriteGuarded(CalTable t, std::uint8_t ch, std::uint8_t i, float value)
{
    std::uint16_t cell = 0;
    if (!CellOf(t, ch, i, cell)) return false;
    Block block;
    if (!ReadGuarded(block)) return false;
    PutSingle(block + (cell - FMap.guarded.start), value, FMap.order);
    return WriteGuarded(block);
}

bool Tulv6xMeter::WriteGuardedChannel(std::uint8_t ch, const float (&table)[18])
{
    if (ch < 1 || ch > 2) return false;
    Block block;
    if (!ReadGuarded(block)) return false;
    std::uint8_t* channelTable = block + GuardedBlock::ChannelTableSize * (ch - 1);
    for (int k = 0; k < 18; ++k)
        PutSingle(channelTable + 4 * k, table[k], FMap.order);
    return WriteGuarded(block);
}

bool Tulv6xMeter::WriteGuardedScrambled(CalTable t, std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    std::uint16_t cell = 0;
    if (!CellOf(t, ch, i, cell)) return false;
    if (!WriteCellScrambled(cell, block)) return false;
    // The meter now holds the plain value in the cell; the checksum must follow it.
    Block tables;
    if (!ReadGuarded(tables)) return false;
    const std::uint16_t sum = BlockChecksum(tables);
    const std::uint8_t checksum[2] = {static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)};
    WriteRtc2k(static_cast<std::uint16_t>(FMap.guarded.start + GuardedBlock::TablesSize), checksum, 2);
    return LastError() == ErrOk;
}

// --- Relay writes -----------------------------------------------------------------------

void Tulv6xMeter::RelayWriteNew(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count)
{
    if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
    // The relay hands the meter's whole echo back into the written buffer; a
    // scratch that holds any reply keeps an echo longer than the data from
    // failing a write the meter has taken, and leaves the caller's bytes alone.
    std::uint8_t scratch[FrameRelay::MaxData] = {};
    std::copy_n(Data.begin(), std::min<size_t>(Count, sizeof scratch), scratch);
    GZU_Write_Rtc2k_new(Addr, scratch, Count);
}

// --- Calibration stamp ---------------------------------------------------------------

bool Tulv6xMeter::ClbWriteSignature()
{
    if (!HasSignature()) return false;
    if (SignatureWritten()) return true;
    auto image = StampImage(Signature(), LocalNow()); // the relay copies reply bytes back into it
    const std::uint16_t cell = FMap.stampCell;
    switch (FMap.stamp) {
    case StampWrite::Rtc2k: WriteRtc2k(cell, image, 16); break;
    case StampWrite::Cfg: WriteCfg(cell, image, 16); break;
    case StampWrite::CfgHalves:
        // The meter takes the stamp in two halves of 8 bytes.
        WriteCfg(cell, std::span<const std::uint8_t>(image.data(), 8), 8);
        if (LastError() != ErrOk) return false;
        WriteCfg(cell + 8, std::span<const std::uint8_t>(image.data() + 8, 8), 8);
        break;
    case StampWrite::Relay: GZU_WriteRtc2k(cell, image, 16); break;
    case StampWrite::RelayNew: RelayWriteNew(cell, image, 16); break;
    }
    if (LastError() != ErrOk) return false;
    MarkSignatureWritten();
    return true;
}

// --- Ultrasonic meters ------------------------------------------------------------------

namespace {

// Speed of sound in water (m/s) by temperature (°C).
constexpr float SoundTemperature[13] = {0.0f,  10.0f, 20.0f, 30.0f, 40.0f,  50.0f, 60.0f,
                                        70.0f, 77.5f, 80.0f, 90.0f, 100.0f, 150.0f};
constexpr float SoundSpeed[13] = {1402.7f, 1447.6f, 1482.7f, 1509.4f, 1528.9f, 1542.6f, 1551.0f,
                                  1554.8f, 1555.6f, 1554.5f, 1550.5f, 1544.5f, 1450.0f};

} // namespace

float SoundPathLength(float Temperature, float SoundTime)
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
