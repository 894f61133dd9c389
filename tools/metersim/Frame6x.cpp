#include "Frame6x.h"

#include <algorithm>

namespace metersim::p6x {

namespace {

const char* CheckComplement(const std::uint8_t* frame)
{
    return (frame[2] ^ 0xFF) != frame[1] ? "wrong address complement" : nullptr;
}

} // namespace

std::uint8_t Checksum(const std::uint8_t* data, std::size_t count)
{
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum = static_cast<std::uint8_t>(sum + data[i]);
    return static_cast<std::uint8_t>(~sum);
}

StartByteLayout RequestLayout()
{
    return {kRequestStart, 5, kMaxData, 3, &CheckComplement, &Checksum};
}

Request ParseRequest(const Bytes& frame)
{
    Request r;
    r.address = frame[1];
    r.group = frame[3];
    r.command = frame[4];
    r.data.assign(frame.begin() + 6, frame.end() - 1);
    r.raw = frame;
    return r;
}

Bytes BuildReply(std::uint8_t address, std::uint8_t group, std::uint8_t command, const Bytes& data)
{
    // Sized once and filled in place: growing a short initialiser list by an
    // insert trips a false out-of-bounds warning in the library's copy.
    Bytes frame(6 + data.size() + 1);
    frame[0] = kReplyStart;
    frame[1] = address;
    frame[2] = static_cast<std::uint8_t>(address ^ 0xFF);
    frame[3] = group;
    frame[4] = command;
    frame[5] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.begin() + 6);
    frame.back() = Checksum(frame.data(), frame.size() - 1);
    return frame;
}

} // namespace metersim::p6x
