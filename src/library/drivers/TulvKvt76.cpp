#include "TulvKvt76.h"

#include "DriverCodec.h"

namespace {

// Cell of coefficient i (row) for channel 1 and 2 (columns).
constexpr std::uint16_t KCells[10][2] = {
    {0x05E0, 0x0628}, // K0
    {0x05E4, 0x062C}, // Ku
    {0x0608, 0x0650}, {0x060C, 0x0654}, {0x0610, 0x0658}, {0x0614, 0x065C},
    {0x0618, 0x0660}, {0x061C, 0x0664}, {0x0620, 0x0668}, {0x0624, 0x066C},
};
constexpr std::uint16_t ObrCells[10][2] = {
    {0x05E0, 0x0628}, // K0, shared with the K table
    {0x05E4, 0x062C}, // Ku, shared with the K table
    {0x05E8, 0x0630}, {0x05EC, 0x0634}, {0x05F0, 0x0638}, {0x05F4, 0x063C},
    {0x05F8, 0x0640}, {0x05FC, 0x0644}, {0x0600, 0x0648}, {0x0604, 0x064C},
};

constexpr std::uint16_t BlockStart = 0x05E0;
constexpr int TablesSize = 144;      // the two channel tables; the checksum follows
constexpr int ChannelTableSize = 72; // 18 singles
constexpr std::uint16_t ChecksumCell = 0x0670;
static_assert(ChecksumCell == BlockStart + TablesSize);
// The meter takes a block write in 8-byte pieces until at most this many bytes
// remain, then the rest in one piece.
constexpr int LastPieceLimit = 64;

constexpr std::uint16_t NumberCell = 0x0152;
constexpr std::uint16_t StampCell = 0x07E0;
constexpr std::uint16_t LiveFlowAddr[2] = {0x00A0, 0x00A4};
constexpr std::uint16_t RawValueAddr[2] = {0x0000, 0x0004};

// Singles and integers are stored most significant byte first.
constexpr ByteOrder Order = ByteOrder::BigEndian;

// The checksum covers the two channel tables.
std::uint16_t BlockChecksum(const std::uint8_t* block)
{
    return SumComplement16(std::span<const std::uint8_t>(block, TablesSize));
}

} // namespace

bool TulvKvt76::ReplyCarried(std::uint8_t count)
{
    SetLastError(ReadOutcome(LastError(), FReply[5], count));
    return LastError() == ErrOk;
}

bool TulvKvt76::ReadCell(std::uint16_t cell, float& value)
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

float TulvKvt76::ReadLive(std::uint16_t addr)
{
    std::uint8_t b[4];
    ReadRAM(addr, b, 4);
    return ReplyCarried(4) ? GetSingle(b, Order) : 0.0f;
}

bool TulvKvt76::ReadBlock(Block& block)
{
    ReadRtc2kP(BlockStart, block, BlockSize);
    // A short block must not be written back: its missing part would overwrite
    // the meter's tables with whatever the buffer held.
    return ReplyCarried(BlockSize);
}

bool TulvKvt76::WriteBlock(Block& block)
{
    const std::uint16_t sum = BlockChecksum(block);
    block[TablesSize] = static_cast<std::uint8_t>(sum >> 8);
    block[TablesSize + 1] = static_cast<std::uint8_t>(sum);
    for (int offset = 0; offset < BlockSize;) {
        const int remaining = BlockSize - offset;
        const int piece = remaining > LastPieceLimit ? 8 : remaining;
        WriteRtc2kP(static_cast<std::uint16_t>(BlockStart + offset), block + offset, static_cast<std::uint8_t>(piece));
        if (LastError() != ErrOk) return false;
        offset += piece;
    }
    ClbWriteSignature(); // not part of the result
    return true;
}

bool TulvKvt76::RewriteCell(std::uint16_t cell, float value)
{
    Block block;
    if (!ReadBlock(block)) return false;
    PutSingle(block + (cell - BlockStart), value, Order);
    return WriteBlock(block);
}

bool TulvKvt76::WriteCellScrambled(std::uint16_t cell, std::uint64_t block)
{
    const auto data = ScrambledWriteData(block, Order);
    WriteRtc2k(cell, data, 9);
    if (LastError() != ErrOk) return false;
    // The meter now holds the plain value in the cell; the checksum must follow it.
    Block tables;
    if (!ReadBlock(tables)) return false;
    const std::uint16_t sum = BlockChecksum(tables);
    const std::uint8_t checksum[2] = {static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)};
    WriteRtc2k(ChecksumCell, checksum, 2);
    return LastError() == ErrOk;
}

void TulvKvt76::GetDeviceNumber(std::string& S)
{
    std::uint8_t b[4];
    ReadRtc2k(NumberCell, b, 4);
    if (!ReplyCarried(4)) {
        S.clear();
        return;
    }
    S = DecimalText(GetWord(b, Order));
}

float TulvKvt76::ClbReadG(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadLive(LiveFlowAddr[ch - 1]);
}

float TulvKvt76::ClbReadSFR(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    return ReadLive(RawValueAddr[ch - 1]);
}

bool TulvKvt76::ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(KCells[i][ch - 1], value);
}

bool TulvKvt76::ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
{
    if (!ValidArgs(ch, i)) return false;
    return ReadCell(ObrCells[i][ch - 1], value);
}

bool TulvKvt76::ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return RewriteCell(KCells[i][ch - 1], value);
}

bool TulvKvt76::ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
{
    if (!ValidArgs(ch, i)) return false;
    return RewriteCell(ObrCells[i][ch - 1], value);
}

bool TulvKvt76::ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(KCells[i][ch - 1], block);
}

bool TulvKvt76::ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
{
    if (!ValidArgs(ch, i)) return false;
    return WriteCellScrambled(ObrCells[i][ch - 1], block);
}

bool TulvKvt76::ClbWriteAll(std::uint8_t ch, const float (&table)[18])
{
    if (ch < 1 || ch > 2) return false;
    Block block;
    if (!ReadBlock(block)) return false;
    std::uint8_t* channelTable = block + ChannelTableSize * (ch - 1);
    for (int k = 0; k < 18; ++k)
        PutSingle(channelTable + 4 * k, table[k], Order);
    return WriteBlock(block);
}

void TulvKvt76::ResetK() {}

// --- Calibration stamp -------------------------------------------------------

void TulvKvt76::SetSignature(std::string_view text)
{
    FSignature = SignatureFromText(text);
    FSignatureSet = true;
}

bool TulvKvt76::ClbWriteSignature()
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
