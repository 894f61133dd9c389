// Frames of the relay sub-protocol as a meter sees them: 6x-style frames addressed by a 32-bit
// number, the meter's serial number.
//
//   offset 0      start byte: 0x55 in a request, 0xAA in a reply
//          1..4   the serial number, least significant byte first (no complement)
//          5, 6   command group, command
//          7      N, the number of data bytes (at most 246, so a frame is at most 255 bytes)
//          8..    N data bytes
//          8+N    checksum: the bitwise complement of the 8-bit sum of all bytes before it
//
// The serial number 44400000 (80 7D A5 02) is the broadcast address: every relay meter takes such
// a frame and none answers it.
#pragma once

#include "Bytes.h"
#include "StartByteDeframer.h"

#include <cstdint>

namespace metersim::prelay {

constexpr std::uint8_t kRequestStart = 0x55;
constexpr std::uint8_t kReplyStart = 0xAA;
constexpr std::size_t kMaxData = 246;
constexpr std::uint32_t kBroadcast = 44400000;

std::uint8_t Checksum(const std::uint8_t* data, std::size_t count);

struct Request {
    std::uint32_t serial = 0;
    std::uint8_t group = 0;
    std::uint8_t command = 0;
    Bytes data;
    Bytes raw; // the whole frame as received
};

StartByteLayout RequestLayout();
Request ParseRequest(const Bytes& frame);

// Builds a reply frame; data must hold at most kMaxData bytes.
Bytes BuildReply(std::uint32_t serial, std::uint8_t group, std::uint8_t command, const Bytes& data);

} // namespace metersim::prelay
