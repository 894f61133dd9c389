// Frames of the M4 protocol as a meter sees them: 14 bytes each way, no start byte.
//
//   offset 0      0x00
//          1      network address
//          2      operation letter; the reply carries the letter + 0x80
//          3, 4   address high and low byte, or two parameters
//          5..12  8 data bytes (zeros in a read request)
//          13     checksum: the plain 8-bit sum of bytes 0..12
#pragma once

#include "Bytes.h"

#include <array>
#include <cstdint>

namespace metersim::pm4 {

constexpr std::size_t kSize = 14;
constexpr std::size_t kDataOffset = 5;
constexpr std::uint8_t kReplyFlag = 0x80;

std::uint8_t Checksum(const std::uint8_t* data, std::size_t count);

struct Request {
    std::uint8_t address = 0;
    std::uint8_t letter = 0;
    std::uint8_t p1 = 0, p2 = 0;
    Bytes data; // 8 bytes
    Bytes raw;
    std::uint16_t Address16() const { return static_cast<std::uint16_t>((p1 << 8) | p2); }
};

// Why 14 received bytes are no request (null when they are one); collected may be shorter.
const char* CheckRequest(const Bytes& collected);
Request ParseRequest(const Bytes& frame);

// A reply: 00, address, code, p1, p2, the 8 data bytes, checksum.
Bytes BuildReply(std::uint8_t address, std::uint8_t code, std::uint8_t p1, std::uint8_t p2, const Bytes& data);

} // namespace metersim::pm4
