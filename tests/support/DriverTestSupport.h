// Helpers of the driver tests on the scripted port: bytes and frames, a single
// as a meter stores it, and the unscramble that checks scrambled blocks.
//
// The helpers are written from the meters' memory maps and the frame layouts,
// not from the library: none of them calls the codecs that the tests check.
#pragma once

#include "ScriptedPort.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace DriverTest {

// --- Bytes -------------------------------------------------------------------

Bytes Concat(Bytes a, const Bytes& b);
// A 16-bit address or register number, most significant byte first.
Bytes Addr(std::uint16_t addr);
// The bytes of a text, as they are.
Bytes Text(const std::string& s);

// A single as a meter stores it: most significant byte first (BE) or last (LE).
constexpr bool BE = true;
constexpr bool LE = false;
Bytes Single(float v, bool bigEndian);
Bytes Singles(std::initializer_list<float> values, bool bigEndian);
inline Bytes BigEndian(float v)
{
    return Single(v, BE);
}
inline Bytes LittleEndian(float v)
{
    return Single(v, LE);
}

// The 32-bit pattern carried by a scrambled block (bytes in block order),
// undone from the encoding's nibble table and keys.
std::uint32_t Unscramble(Bytes b);

// --- Plain 6x frames to and from the meter at address 3 -----------------------

// Start byte, address 3 and its complement, group, command, N, data, and the
// complement of the byte sum.
namespace Plain6x {

Bytes WithChecksum(Bytes b);
Bytes Request(std::uint8_t group, std::uint8_t command, const Bytes& data);
Bytes Reply(std::uint8_t group, std::uint8_t command, const Bytes& data);

std::string ReadRequest(std::uint16_t addr, std::uint8_t count); // Rtc2k
std::string RamRequest(std::uint16_t addr);                      // 4 bytes
std::string WriteRequest(std::uint16_t addr, const Bytes& data); // Rtc2k
Bytes ReadReply(const Bytes& data);                              // Rtc2k
Bytes Ack();                                                     // of an Rtc2k write
// The reply to a RAM read of a single.
Bytes Ram(float v, bool bigEndian);

// The data bytes of a request frame, and the address they start with.
Bytes DataOf(const Bytes& frame);
std::uint16_t AddrOf(const Bytes& frame);

} // namespace Plain6x

} // namespace DriverTest
