#include "FrameRelay.h"

namespace metersim::prelay {

std::uint8_t Checksum(const std::uint8_t* data, std::size_t count)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += data[i];
    return static_cast<std::uint8_t>(~sum & 0xFF);
}

StartByteLayout RequestLayout()
{
    return {kRequestStart, 7, kMaxData, 0, nullptr, &Checksum};
}

Request ParseRequest(const Bytes& frame)
{
    Request r;
    for (int i = 3; i >= 0; --i)
        r.serial = (r.serial << 8) | frame[1 + i];
    r.group = frame[5];
    r.command = frame[6];
    r.data.assign(frame.begin() + 8, frame.end() - 1);
    r.raw = frame;
    return r;
}

Bytes BuildReply(std::uint32_t serial, std::uint8_t group, std::uint8_t command, const Bytes& data)
{
    Bytes frame{kReplyStart};
    for (int i = 0; i < 4; ++i)
        frame.push_back(static_cast<std::uint8_t>(serial >> (8 * i)));
    frame.insert(frame.end(), {group, command, static_cast<std::uint8_t>(data.size())});
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(Checksum(frame.data(), frame.size()));
    return frame;
}

} // namespace metersim::prelay
