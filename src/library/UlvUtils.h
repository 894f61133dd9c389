// Shared codecs of the device library: byte order, the meters' 4-byte float,
// packed BCD, CRC-16, the six-character number text, the scrambled coefficient
// block, the protocol error texts, and the clock that all protocol timing uses.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Outcome of the last operation of a protocol or driver object: 0 success, 1..7 failures.
using ProtocolErrorCode = std::uint32_t;

enum : ProtocolErrorCode {
    ErrOk = 0,
    ErrPortWrite = 1,     // a write to the port failed, or no port is assigned
    ErrPortRead = 2,      // a reply byte did not arrive in time
    ErrPacketSize = 3,    // a reply announces more data than the operation accepts
    ErrNetAddr = 4,       // address byte and its complement disagree
    ErrChecksum = 5,      // checksum or CRC wrong
    ErrPortMissing = 6,   // the port is not open and could not be opened
    ErrIntegrity = 7,     // an M4 reply carries the wrong reply code
};

// Text of an error code (0..10; codes 8..10 and anything above have an empty text).
const std::string& ProtocolErrorText(ProtocolErrorCode code);

// Reverse 4 or 8 bytes in place.
void SwapBytes4(void* v);
void SwapBytes8(void* v);

// The meters' 4-byte float: sign and biased exponent, 16-bit mantissa, check byte.
void EncodeM4Float(std::uint8_t (&bytes)[4], float x);
void DecodeM4Float(const std::uint8_t (&bytes)[4], float& x); // the check byte is not examined

// Packed BCD of 0..99; 0xFF for 100..255.
std::uint8_t ByteToBcd(std::uint8_t b);

// CRC-16 with the reflected polynomial 0xA001, continued over len bytes.
// Returns crc unchanged when data is null or len <= 0.
std::uint16_t Crc16Update(std::uint16_t crc, const void* data, int len);

// Decimal text of x with width - (length of its integer part) decimals; "error"
// when x is not finite or its integer part does not fit 64 bits.
// The decimal separator is always ".", whatever the process locale says.
void FormatValue(std::uint8_t width, std::string& s, float x);
std::string FormatValue(std::uint8_t width, float x);

// The 8-byte scrambled encoding of a 32-bit pattern; byte 0 of the block is the
// least significant byte of the result. Fresh random filler on every call.
std::uint64_t ScrambleValue8(std::uint32_t v);

// Suspends the calling thread for ms milliseconds.
void SleepMs(std::uint32_t ms);

// The time seam of the protocols: every pause and every wait of a transaction
// goes through a clock, so that tests can run them on virtual time.
class TulvClock {
public:
    virtual ~TulvClock() = default;
    virtual void SleepMs(std::uint32_t ms) = 0;
    virtual std::uint64_t NowMs() = 0; // monotonic
    // The computer's local date and time (clock bytes, calibration stamps).
    virtual std::tm LocalTime() = 0;
};

// The real clock (monotonic time, real sleeps).
TulvClock& RealClock();
