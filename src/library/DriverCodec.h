// Codecs that the meter drivers share: how a value sits in a meter's memory.
//
// These functions only turn values into bytes and back. They know no cells, no
// protocol and no transaction: each driver class keeps its own cell tables, its
// byte order and its own operations with their order of transactions, and
// calls these where its meter encodes a value the way other meters do.
#pragma once

#include "UlvUtils.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

// --- Byte order ---------------------------------------------------------------

// The order of the 4 bytes of a single or a 32-bit integer in a meter's memory.
enum class ByteOrder {
    BigEndian,    // most significant byte first
    LittleEndian, // least significant byte first
};

// Puts v, or the bit pattern of value, into the 4 bytes at `at` in the given order.
void PutWord(std::uint8_t* at, std::uint32_t v, ByteOrder order);
void PutSingle(std::uint8_t* at, float value, ByteOrder order);
// The 32-bit integer, or the single, that the 4 bytes at `at` hold in the given order.
std::uint32_t GetWord(const std::uint8_t* at, ByteOrder order);
float GetSingle(const std::uint8_t* at, ByteOrder order);

// --- Replies ------------------------------------------------------------------

// The outcome of a read that asked for `asked` data bytes and took a reply
// whose length byte says `carried`: the transaction's own code (lastError) when
// it failed; ErrPacketSize when it succeeded with another count, since part of
// the caller's buffer would then be stale; ErrOk otherwise.
ProtocolErrorCode ReadOutcome(ProtocolErrorCode lastError, std::uint8_t carried, std::uint8_t asked);
// The same for a reply that names its operation with a reply code: ErrIntegrity
// when the transaction succeeded but the reply carries another code than
// `expected`, since it is not the answer to this request.
ProtocolErrorCode ReplyCodeOutcome(ProtocolErrorCode lastError, std::uint8_t code, std::uint8_t expected);

// --- Scrambled writes ---------------------------------------------------------

// The 9 data bytes of a scrambled write: the 8 bytes of block (block byte k is
// bits 8k..8k+7) in the meter's order, that is reversed on a big-endian meter
// and as they are on a little-endian one, then a ninth byte 0x00. The write
// announces and carries all 9; the coefficient travels in the first 8.
std::array<std::uint8_t, 9> ScrambledWriteData(std::uint64_t block, ByteOrder order);
// The scrambled block of the bit pattern of value (ScrambleValue8: fresh random
// filler on every call).
std::uint64_t ScrambledSingle(float value);

// --- Calibration stamp --------------------------------------------------------

// The 16-byte calibration stamp: the characters of signature (UTF-8) as single
// bytes of code page 1251, at most 8 ('?' for a character the code page lacks),
// zero bytes up to byte 9, then the year modulo 100, month, day, hour, minute
// and second of now, each as packed BCD.
std::array<std::uint8_t, 16> StampImage(std::string_view signature, const std::tm& now);

// The Signature that assigning text leaves: its first 8 characters when it has 8
// or more, else the empty text. Characters, not bytes: text is UTF-8, and the
// cut goes before the lead byte of the ninth character.
std::string SignatureFromText(std::string_view text);

// --- Checksum-guarded blocks and M4 blocks ------------------------------------

// The checksum of a checksum-guarded block: the one's complement of the 16-bit
// sum of its bytes.
std::uint16_t SumComplement16(std::span<const std::uint8_t> bytes);

// The M4 float in bytes at..at+3 of an 8-byte M4 block (DecodeM4Float: the
// check byte is not examined, so only bytes at..at+2 count).
float M4FloatAt(const std::array<std::uint8_t, 8>& block, int at = 0);
// Puts the M4 float of value into bytes 0..3 of block; bytes 4..7 stay as they are.
void PutM4Float(std::array<std::uint8_t, 8>& block, float value);

// --- Texts of a factory number ------------------------------------------------

// The decimal text of a 32-bit unsigned number ("error" should it not convert).
std::string DecimalText(std::uint32_t v);
// What becomes of control bytes (below 32) in a number kept as characters.
enum class ControlBytes {
    Kept,
    AsBlanks,
};
// A number kept as single-byte characters of code page 1251, as UTF-8 text.
std::string CharacterText(std::span<const std::uint8_t> bytes, ControlBytes controls);

// --- Factory values -----------------------------------------------------------

// Factory values of a channel's calibration data by index: K0, Ku, points 1..8.
// They make the K and Obr tables equal, i.e. no correction.
inline constexpr float FactoryValues[10] = {0.0f, 1.0f, 0.001f, 0.0025f, 0.005f, 0.01f, 0.02f, 0.04f, 0.1f, 0.5f};
