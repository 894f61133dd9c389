// The engine under the drivers of the meters on the 6x protocol.
//
// What these meters do alike lives here once: reading and writing a cell in the
// meter's byte order, the scrambled write, the live reads, the factory number,
// the table operations over a cell map, the factory resets as sequences of
// writes, the calibration stamp, and the memory reached through the relay. A
// meter's module describes its meter in a Meter6xMap (cells, byte order, where
// its number, live values and stamp are, which operations it offers) and holds
// only what is its own on top (size codes, identity questions, ultrasonic reads).
//
//   inline constexpr Meter6xMap Kvt64Map{...};
//   class TulvKvt64 : public Tulv6xMeterOf<Kvt64Map> { ... its own operations ... };
//
// Tulv6xMeterOf publishes exactly the operations the map offers, in the forms the
// map gives (a channel argument or none), so that a caller asking whether a class
// has ClbWriteK_new(ch, i, block) gets the same answer as from a class written
// out by hand. Operations a class writes itself hide the engine's of the same name.
#pragma once

#include "CellTable.h"
#include "DriverCodec.h"
#include "TulvSignature.h"
#include "Ulv6xProtocol.h"

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// --- The description of a meter ----------------------------------------------

// How the table operations take the channel.
enum class ChannelArg {
    Checked, // (ch, i): ch must be 1 or 2 and picks the column
    Ignored, // (ch, i): ch is not looked at; one channel
    None,    // (i): one channel
};

// How the live reads (ClbReadG, ClbReadSFR) take the channel.
enum class LiveArg {
    Own,     // the class reads its live values itself (or has none)
    None,    // (): one cell each
    Checked, // (ch): ch must be 1 or 2 and picks the cell
};

// How the meter keeps its factory number (GetDeviceNumber).
enum class NumberForm {
    Own,               // the class reads it itself
    Decimal,           // Rtc2k, 4 bytes: a 32-bit integer in the meter's order, as decimal text
    Characters,        // Rtc2k, 8 bytes as 8 characters, unchanged
    CfgCharacters,     // ReadCfg, 8 bytes as 8 characters, bytes below 32 as blanks
};

// How the 16-byte stamp goes into the meter.
enum class StampWrite {
    Rtc2k,      // WriteRtc2k, one write
    Cfg,        // WriteCfg, one write
    CfgHalves,  // WriteCfg of bytes 0..7, then of bytes 8..15 at the cell 8 bytes on
    Relay,      // GZU_WriteRtc2k
    RelayNew,   // GZU_Write_Rtc2k_new
};

// What ResetK does.
enum class ResetForm {
    None,      // nothing: the meter has no reset over the line
    Plain,     // two values per write, channel 1, then K0 and Ku together
    Scrambled, // per point K then Obr, then K0 and Ku through the K and again the Obr rows
    Relay,     // GZU_ResetClbTable: the meter restores its tables itself
};

// The checksum-guarded calibration block: the two channel tables (18 singles
// each: K0, Ku, Obr points, K points) and a 2-byte checksum after them.
struct GuardedBlock {
    std::uint16_t start = 0; // 0: the meter has none
    static constexpr int TablesSize = 144;
    static constexpr int ChannelTableSize = 72;
    static constexpr int Size = TablesSize + 2;
};

struct Meter6xMap {
    ByteOrder order;
    bool relay = false; // every memory transaction goes through the relay (GZU_NetAddr)
    ChannelArg channels;
    CellTable k, obr;
    bool scrambledWrites; // ClbWriteK_new, ClbWriteObr_new
    LiveArg live;
    std::uint16_t flow[2] = {}, raw[2] = {}; // RAM cells of ClbReadG and ClbReadSFR per channel
    NumberForm number;
    std::uint16_t numberCell = 0;
    StampWrite stamp;
    std::uint16_t stampCell;
    ResetForm reset;
    int resetChannels = 1;     // channels the scrambled reset goes through
    bool resetNew = false;     // ResetK_new: scrambled points, then K0 and Ku through the K rows
    std::uint16_t gmaxCell = 0; // ClbReadGmax(): an Rtc2k single; 0: none from the engine
    GuardedBlock guarded{};
};

// --- The engine ------------------------------------------------------------------

class Tulv6xMeter : public Tulv6xProtocol, public TulvSignatureOnce {
public:
    // Writes the 16-byte stamp (Signature in code page 1251, two zero bytes, BCD
    // year, month, day, hour, minute, second of the local time) into the meter's
    // stamp cell, once until the next ClearSignature. False without a
    // transaction when no 8-character Signature is set; true without a
    // transaction when already written; else true when the write (both halves
    // where the meter takes it in two) succeeded, LastError 0.
    bool ClbWriteSignature();

protected:
    explicit Tulv6xMeter(const Meter6xMap& map) : FMap(map) {}

    // Cell of coefficient i of table t for channel ch; false, nothing looked up,
    // when the arguments are out of range for the map's channel form.
    bool CellOf(CalTable t, std::uint8_t ch, std::uint8_t i, std::uint16_t& cell) const;

    // The table operations: check the arguments (false, nothing sent, value and
    // LastError untouched on a bad one), then one transaction on the cell.
    bool ReadTable(CalTable t, std::uint8_t ch, std::uint8_t i, float& value);
    bool WriteTable(CalTable t, std::uint8_t ch, std::uint8_t i, float value);
    bool WriteTableScrambled(CalTable t, std::uint8_t ch, std::uint8_t i, std::uint64_t block);

    // One cell: a failed read stores 0 and returns false; a read whose reply
    // carried fewer bytes than asked fails with LastError 3.
    bool ReadCell(std::uint16_t cell, float& value);
    bool WriteCell(std::uint16_t cell, float value);
    // The scrambled write: the block in the meter's order and a ninth byte, 9 bytes.
    bool WriteCellScrambled(std::uint16_t cell, std::uint64_t block);

    // The live value at RAM addr; 0 on failure. With a channel: 0 when ch is not
    // 1 or 2 (nothing sent).
    float ReadLive(std::uint16_t addr);
    float ReadLive(const std::uint16_t (&addr)[2], std::uint8_t ch);

    // The factory number in the map's form; empty text on a failed read.
    void ReadNumber(std::string& S);
    // Rtc2k or RAM read of as many bytes as out holds (through the relay on a
    // relay meter). True when the reply carried exactly that many; otherwise out
    // stays untouched and a reply with another count leaves LastError 3.
    bool ReadRtc2kExactly(std::uint16_t addr, std::span<std::uint8_t> out);
    bool ReadRamExactly(std::uint16_t addr, std::span<std::uint8_t> out);
    // The single at an Rtc2k cell in the meter's order; 0 when the read fails.
    float ReadGmaxCell();

    // The factory resets.
    void Reset();
    void ResetScrambledOnce();

    // The checksum-guarded block: every plain write rewrites it whole; the
    // scrambled write leaves the meter to store the value and rewrites the checksum.
    bool RewriteGuarded(CalTable t, std::uint8_t ch, std::uint8_t i, float value);
    bool WriteGuardedChannel(std::uint8_t ch, const float (&table)[18]);
    bool WriteGuardedScrambled(CalTable t, std::uint8_t ch, std::uint8_t i, std::uint64_t block);

    // The relay's write of the alternative command (0A 42) from a scratch that
    // holds any echo, so the caller's bytes stay as they are.
    void RelayWriteNew(std::uint16_t Addr, std::span<const std::uint8_t> Data, std::uint8_t Count);

    const Meter6xMap& FMap;

private:
    using Block = std::uint8_t[GuardedBlock::Size];
    bool ReplyCarried(std::uint8_t count);
    bool RelayRead(bool ram, std::uint16_t addr, std::span<std::uint8_t> out);
    void WritePlain(std::uint16_t cell, std::span<const std::uint8_t> bytes);
    bool ReadGuarded(Block& block);
    bool WriteGuarded(Block& block);
    void ResetPlain();
    void ResetScrambled(bool twice, int channels);
};

// --- The operations a map offers ------------------------------------------------

template <const Meter6xMap& M> class Tulv6xMeterOf : public Tulv6xMeter {
    static constexpr bool TakesChannel = M.channels != ChannelArg::None;

public:
    Tulv6xMeterOf() : Tulv6xMeter(M) {}

    // The factory number as text (decimal, or 8 characters as the meter keeps
    // it); empty text on a failed read (LastError 1..6; 3 also when the reply
    // carries fewer bytes than asked).
    void GetDeviceNumber(std::string& S)
        requires(M.number != NumberForm::Own)
    {
        ReadNumber(S);
    }

    // The live flow value and the raw measurement (RAM singles in the meter's
    // order). 0 when the read fails, or when ch is not 1 or 2 (nothing sent).
    float ClbReadG()
        requires(M.live == LiveArg::None)
    {
        return ReadLive(M.flow[0]);
    }
    float ClbReadSFR()
        requires(M.live == LiveArg::None)
    {
        return ReadLive(M.raw[0]);
    }
    float ClbReadG(std::uint8_t ch)
        requires(M.live == LiveArg::Checked)
    {
        return ReadLive(M.flow, ch);
    }
    float ClbReadSFR(std::uint8_t ch)
        requires(M.live == LiveArg::Checked)
    {
        return ReadLive(M.raw, ch);
    }

    // Gmax, the single at the meter's Gmax cell; 0 when the read fails.
    float ClbReadGmax()
        requires(M.gmaxCell != 0)
    {
        return ReadGmaxCell();
    }

    // Coefficient i (0 K0, 1 Ku, 2..9 points 1..8) of the measured (K) or
    // reference (Obr) table. True on success. A failed read stores 0 and returns
    // false with LastError set; a channel outside 1..2 (where the meter checks
    // it) or i above 9 returns false, sends nothing, and leaves value and
    // LastError untouched.
    bool ClbReadK(std::uint8_t ch, std::uint8_t i, float& value)
        requires TakesChannel
    {
        return ReadTable(CalTable::K, ch, i, value);
    }
    bool ClbReadObr(std::uint8_t ch, std::uint8_t i, float& value)
        requires TakesChannel
    {
        return ReadTable(CalTable::Obr, ch, i, value);
    }
    bool ClbReadK(std::uint8_t i, float& value)
        requires(!TakesChannel)
    {
        return ReadTable(CalTable::K, 1, i, value);
    }
    bool ClbReadObr(std::uint8_t i, float& value)
        requires(!TakesChannel)
    {
        return ReadTable(CalTable::Obr, 1, i, value);
    }

    // Writes one value as a plain 4-byte single in the meter's order. True when
    // LastError is 0 after the write; bad arguments return false without a transaction.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
        requires TakesChannel
    {
        return WriteTable(CalTable::K, ch, i, value);
    }
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
        requires TakesChannel
    {
        return WriteTable(CalTable::Obr, ch, i, value);
    }
    bool ClbWriteK(std::uint8_t i, float value)
        requires(!TakesChannel)
    {
        return WriteTable(CalTable::K, 1, i, value);
    }
    bool ClbWriteObr(std::uint8_t i, float value)
        requires(!TakesChannel)
    {
        return WriteTable(CalTable::Obr, 1, i, value);
    }

    // Writes one value as a scrambled block (ScrambleValue8 of its bit pattern):
    // the 8 bytes in the meter's order (reversed on a big-endian meter) and a
    // ninth byte 0x00. True when LastError is 0; bad arguments as above.
    bool ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
        requires(TakesChannel && M.scrambledWrites)
    {
        return WriteTableScrambled(CalTable::K, ch, i, block);
    }
    bool ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
        requires(TakesChannel && M.scrambledWrites)
    {
        return WriteTableScrambled(CalTable::Obr, ch, i, block);
    }
    bool ClbWriteK_new(std::uint8_t i, std::uint64_t block)
        requires(!TakesChannel && M.scrambledWrites)
    {
        return WriteTableScrambled(CalTable::K, 1, i, block);
    }
    bool ClbWriteObr_new(std::uint8_t i, std::uint64_t block)
        requires(!TakesChannel && M.scrambledWrites)
    {
        return WriteTableScrambled(CalTable::Obr, 1, i, block);
    }

    // Puts the factory values into the meter as the map's reset form says
    // (nothing, plain, scrambled, or the relay's reset); the outcome of each
    // write is ignored, LastError is that of the last one.
    void ResetK() { Reset(); }
    // Scrambled factory reset of channel 1: per point the K cell then the Obr
    // cell, then K0 = 0.0 and Ku = 1.0 through the K table's rows.
    void ResetK_new()
        requires(M.resetNew)
    {
        ResetScrambledOnce();
    }
};

// A meter that guards its two channel tables with a checksum: every plain write
// rewrites the whole block, with the value put in and the checksum recomputed,
// and then writes the stamp.
template <const Meter6xMap& M> class Tulv6xGuardedMeterOf : public Tulv6xMeterOf<M> {
public:
    // Reads the 146-byte block (one ReadRtc2kP), puts the value in big-endian,
    // recomputes the checksum and writes the block back with WriteRtc2kP in
    // pieces (8 bytes while more than 64 remain, then the rest in one piece),
    // stopping at the first failed piece (false); then ClbWriteSignature, whose
    // result does not count, and true. A block read that fails or carries fewer
    // bytes returns false before anything is written.
    bool ClbWriteK(std::uint8_t ch, std::uint8_t i, float value)
    {
        return this->RewriteGuarded(CalTable::K, ch, i, value);
    }
    bool ClbWriteObr(std::uint8_t ch, std::uint8_t i, float value)
    {
        return this->RewriteGuarded(CalTable::Obr, ch, i, value);
    }
    // The whole channel table at once: 18 singles in block order (K0, Ku, Obr
    // points 1..8, K points 1..8); the other channel keeps the bytes just read.
    // False when ch is not 1 or 2.
    bool ClbWriteAll(std::uint8_t ch, const float (&table)[18]) { return this->WriteGuardedChannel(ch, table); }
    // The scrambled write of the cell, then the checksum: the block is read back
    // (the meter now holds the plain value) and its checksum written to the 2
    // bytes after the tables. True when every step succeeded; the stamp is not written.
    bool ClbWriteK_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
        requires(M.scrambledWrites)
    {
        return this->WriteGuardedScrambled(CalTable::K, ch, i, block);
    }
    bool ClbWriteObr_new(std::uint8_t ch, std::uint8_t i, std::uint64_t block)
        requires(M.scrambledWrites)
    {
        return this->WriteGuardedScrambled(CalTable::Obr, ch, i, block);
    }
};

// --- The ultrasonic meters behind the relay ---------------------------------------

// The speed of sound in water at Temperature (°C) times SoundTime (ns): the
// sound path length in metres, 0 outside 0 < Temperature <= 150.
float SoundPathLength(float Temperature, float SoundTime);

// A meter addressed by its serial number (GZU_NetAddr) whose memory is reached
// through the relay, with the raw ultrasonic measurements both such meters keep:
// the raw value block (36 bytes at RAM 0x03A0, starting with the ClbReadSFR
// value) and the error flag byte (RAM 0x03F0).
template <const Meter6xMap& M> class Tulv6xRelayMeterOf : public Tulv6xMeterOf<M> {
    static_assert(M.relay);

public:
    static constexpr std::uint16_t RawBlockAddr = 0x03A0;
    static constexpr int RawBlockSize = 36;
    static constexpr std::uint16_t ErrorFlagsAddr = 0x03F0;

    // The identity text through the relay; empty on failure.
    void GetDevID(std::string& S) { this->GZU_GetDevID(S); }

    // The class's own memory reads, through the relay: Count bytes into Data on
    // success (LastError 0); LastError 3 and Data untouched when the reply
    // carries another count. Count above the size of Data throws
    // std::invalid_argument. The protocol's direct reads of the same names stay
    // available as Tulv6xProtocol::ReadRtc2k and ::ReadRAM.
    void ReadRtc2k(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
    {
        if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
        this->ReadRtc2kExactly(Addr, Data.first(Count));
    }
    void ReadRAM(std::uint16_t Addr, std::span<std::uint8_t> Data, std::uint8_t Count)
    {
        if (Count > Data.size()) throw std::invalid_argument("count exceeds the caller's buffer");
        this->ReadRamExactly(Addr, Data.first(Count));
    }

    // The sound path length from the speed of sound in water (a table of 13
    // points, 0 to 150 °C, interpolated linearly): SoundTime (ns) × c / 10^9, 0
    // when Temperature is not within 0 < Temperature <= 150. Needs no meter.
    static float clb_CalcSoundPathLength(float Temperature, float SoundTime)
    {
        return SoundPathLength(Temperature, SoundTime);
    }

    // The error flag byte; 0 on failure.
    int ReadErrors()
    {
        std::uint8_t flags[1];
        return this->ReadRamExactly(ErrorFlagsAddr, flags) ? flags[0] : 0;
    }
    // Copies the raw value block into Buf; true on success, false (Buf untouched) on failure.
    bool ClbReadRawValues(std::span<std::uint8_t, 36> Buf) { return this->ReadRamExactly(RawBlockAddr, Buf); }
};
