#include "DriverCodec.h"

#include "Cp1251.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <string>

void PutWord(std::uint8_t* at, std::uint32_t v, ByteOrder order)
{
    for (int k = 0; k < 4; ++k) {
        const int shift = order == ByteOrder::BigEndian ? 24 - 8 * k : 8 * k;
        at[k] = static_cast<std::uint8_t>(v >> shift);
    }
}

void PutSingle(std::uint8_t* at, float value, ByteOrder order)
{
    PutWord(at, std::bit_cast<std::uint32_t>(value), order);
}

std::uint32_t GetWord(const std::uint8_t* at, ByteOrder order)
{
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
        const int shift = order == ByteOrder::BigEndian ? 24 - 8 * k : 8 * k;
        v |= static_cast<std::uint32_t>(at[k]) << shift;
    }
    return v;
}

float GetSingle(const std::uint8_t* at, ByteOrder order)
{
    return std::bit_cast<float>(GetWord(at, order));
}

ProtocolErrorCode ReadOutcome(ProtocolErrorCode lastError, std::uint8_t carried, std::uint8_t asked)
{
    if (lastError != ErrOk) return lastError;
    return carried == asked ? ErrOk : ErrPacketSize;
}

ProtocolErrorCode ReplyCodeOutcome(ProtocolErrorCode lastError, std::uint8_t code, std::uint8_t expected)
{
    if (lastError != ErrOk) return lastError;
    return code == expected ? ErrOk : ErrIntegrity;
}

std::array<std::uint8_t, 9> ScrambledWriteData(std::uint64_t block, ByteOrder order)
{
    std::array<std::uint8_t, 9> data{};
    for (int k = 0; k < 8; ++k)
        data[k] = static_cast<std::uint8_t>(block >> (8 * k));
    if (order == ByteOrder::BigEndian) SwapBytes8(data.data());
    data[8] = 0x00;
    return data;
}

std::uint64_t ScrambledSingle(float value)
{
    return ScrambleValue8(std::bit_cast<std::uint32_t>(value));
}

std::array<std::uint8_t, 16> StampImage(std::string_view signature, const std::tm& now)
{
    std::array<std::uint8_t, 16> image{};
    const std::string text = Utf8ToCp1251Lossy(signature);
    std::memcpy(image.data(), text.data(), std::min<size_t>(8, text.size()));
    image[10] = ByteToBcd(static_cast<std::uint8_t>((now.tm_year + 1900) % 100));
    image[11] = ByteToBcd(static_cast<std::uint8_t>(now.tm_mon + 1));
    image[12] = ByteToBcd(static_cast<std::uint8_t>(now.tm_mday));
    image[13] = ByteToBcd(static_cast<std::uint8_t>(now.tm_hour));
    image[14] = ByteToBcd(static_cast<std::uint8_t>(now.tm_min));
    image[15] = ByteToBcd(static_cast<std::uint8_t>(now.tm_sec));
    return image;
}

std::string SignatureFromText(std::string_view text)
{
    size_t chars = 0;
    size_t cut = text.size();
    for (size_t k = 0; k < text.size(); ++k) {
        if ((static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) continue;
        if (chars == 8) {
            cut = k;
            break;
        }
        ++chars;
    }
    return chars >= 8 ? std::string(text.substr(0, cut)) : std::string();
}

std::uint16_t SumComplement16(std::span<const std::uint8_t> bytes)
{
    std::uint16_t sum = 0;
    for (const std::uint8_t b : bytes)
        sum = static_cast<std::uint16_t>(sum + b);
    return static_cast<std::uint16_t>(~sum);
}

float M4FloatAt(const std::array<std::uint8_t, 8>& block, int at)
{
    const std::uint8_t bytes[4] = {block[at], block[at + 1], block[at + 2], block[at + 3]};
    float x = 0.0f;
    DecodeM4Float(bytes, x);
    return x;
}

void PutM4Float(std::array<std::uint8_t, 8>& block, float value)
{
    std::uint8_t bytes[4];
    EncodeM4Float(bytes, value);
    std::copy(std::begin(bytes), std::end(bytes), block.begin());
}

std::string DecimalText(std::uint32_t v)
{
    char text[16];
    const auto r = std::to_chars(text, text + sizeof text, v);
    return r.ec == std::errc() ? std::string(text, r.ptr) : "error";
}

std::string CharacterText(std::span<const std::uint8_t> bytes, ControlBytes controls)
{
    std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (controls == ControlBytes::AsBlanks)
        for (char& c : text)
            if (static_cast<unsigned char>(c) < 32) c = ' ';
    return Cp1251ToUtf8(text);
}
