// Frames of ModBus RTU as a slave sees them: address, function code, data, and the CRC-16/MODBUS
// (polynomial 0xA001 reflected, start 0xFFFF) of everything before it, low byte first.
//
// Requests of the functions this simulator serves:
//   03  read holding registers    address, 03, start (2), count (2), CRC           8 bytes
//   10  write multiple registers  address, 10, start (2), count (2), byte count B,
//                                 B data bytes, CRC                                B + 9 bytes
//   11  report slave ID           address, 11, CRC                                 4 bytes
// Numbers inside the frame are big-endian.
#pragma once

#include "Bytes.h"

#include <cstdint>
#include <optional>

namespace metersim::pmb {

constexpr std::size_t kMaxFrame = 256;
constexpr std::uint8_t kExceptionFlag = 0x80;
constexpr std::uint8_t kBroadcast = 0;

std::uint16_t Crc16(const std::uint8_t* data, std::size_t count);
// True when the last two bytes are the CRC of the others (low byte first).
bool CrcOk(const Bytes& frame);
// Appends the CRC.
void AppendCrc(Bytes& frame);

// The length of a request as far as its first bytes tell (function 16 needs its byte count); empty
// for functions whose requests have no length known here.
std::optional<std::size_t> RequestLength(const Bytes& collected);

struct Request {
    std::uint8_t address = 0;
    std::uint8_t function = 0;
    Bytes payload; // between the function code and the CRC
    Bytes raw;
};
Request ParseRequest(const Bytes& frame);

// address, the PDU (function code and data), CRC.
Bytes BuildReply(std::uint8_t address, const Bytes& pdu);

} // namespace metersim::pmb
