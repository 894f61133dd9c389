// Codecs that the meter drivers share: how a value sits in a meter's memory.
//
// These functions only turn values into bytes and back. They know no cells, no
// protocol and no transaction: each driver class keeps its own cell tables, its
// byte order and its own operations with their order of transactions, and
// calls these where its meter encodes a value the way other meters do.
#pragma once

#include <cstdint>

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
