#include "FrameM4.h"

#include <algorithm>
#include <stdexcept>

namespace metersim::pm4 {

std::uint8_t Checksum(const std::uint8_t* data, std::size_t count)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += data[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

const char* CheckRequest(const Bytes& collected)
{
    if (!collected.empty() && collected[0] != 0x00) return "not 00 at the start";
    if (collected.size() == kSize && Checksum(collected.data(), kSize - 1) != collected[kSize - 1])
        return "wrong checksum";
    return nullptr;
}

Request ParseRequest(const Bytes& frame)
{
    Request r;
    r.address = frame[1];
    r.letter = frame[2];
    r.p1 = frame[3];
    r.p2 = frame[4];
    r.data.assign(frame.begin() + kDataOffset, frame.begin() + kDataOffset + 8);
    r.raw = frame;
    return r;
}

Bytes BuildReply(std::uint8_t address, std::uint8_t code, std::uint8_t p1, std::uint8_t p2, const Bytes& data)
{
    if (data.size() != 8) throw std::logic_error("an M4 reply carries 8 data bytes");
    // Sized once and filled in place (see the 6x reply).
    Bytes frame(5 + data.size() + 1);
    frame[0] = 0x00;
    frame[1] = address;
    frame[2] = code;
    frame[3] = p1;
    frame[4] = p2;
    std::copy(data.begin(), data.end(), frame.begin() + 5);
    frame.back() = Checksum(frame.data(), frame.size() - 1);
    return frame;
}

} // namespace metersim::pm4
