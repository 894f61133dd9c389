#include "Frame6x.h"

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
    Bytes frame{kReplyStart, address, static_cast<std::uint8_t>(address ^ 0xFF),
                group,       command, static_cast<std::uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(Checksum(frame.data(), frame.size()));
    return frame;
}

} // namespace metersim::p6x
