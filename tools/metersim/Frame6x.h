// Frames of the 6x protocol as a meter sees them.
//
//   offset 0      start byte: 0x55 in a request, 0xAA in a reply
//          1      network address
//          2      network address xor 0xFF
//          3, 4   command group, command
//          5      N, the number of data bytes (at most 248, so a frame is at most 255 bytes)
//          6..    N data bytes
//          6+N    checksum: the bitwise complement of the 8-bit sum of all bytes before it
#pragma once

#include "Bytes.h"
#include "StartByteDeframer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace metersim::p6x {

constexpr std::uint8_t kRequestStart = 0x55;
constexpr std::uint8_t kReplyStart = 0xAA;
constexpr std::size_t kMaxData = 248;
constexpr std::size_t kOverhead = 7;

std::uint8_t Checksum(const std::uint8_t* data, std::size_t count);

struct Request {
    std::uint8_t address = 0;
    std::uint8_t group = 0;
    std::uint8_t command = 0;
    Bytes data;
    Bytes raw; // the whole frame as received
};

// How requests are found in the byte stream (see StartByteDeframer).
StartByteLayout RequestLayout();
// The fields of a frame that the deframer found.
Request ParseRequest(const Bytes& frame);

// Builds a reply frame; data must hold at most kMaxData bytes.
Bytes BuildReply(std::uint8_t address, std::uint8_t group, std::uint8_t command, const Bytes& data);

} // namespace metersim::p6x
