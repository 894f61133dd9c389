#include "FrameModBus.h"

#include <algorithm>

namespace metersim::pmb {

std::uint16_t Crc16(const std::uint8_t* data, std::size_t count)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

bool CrcOk(const Bytes& frame)
{
    if (frame.size() < 3) return false;
    const std::uint16_t crc = Crc16(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

void AppendCrc(Bytes& frame)
{
    const std::uint16_t crc = Crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

std::optional<std::size_t> RequestLength(const Bytes& collected)
{
    if (collected.size() < 2) return std::nullopt;
    switch (collected[1]) {
    case 0x03: return 8;
    case 0x11: return 4;
    case 0x10:
        if (collected.size() < 7) return std::nullopt;
        return 9 + collected[6];
    default: return std::nullopt;
    }
}

Request ParseRequest(const Bytes& frame)
{
    Request r;
    r.address = frame[0];
    r.function = frame[1];
    r.payload.assign(frame.begin() + 2, frame.end() - 2);
    r.raw = frame;
    return r;
}

Bytes BuildReply(std::uint8_t address, const Bytes& pdu)
{
    // Sized once and filled in place (see the 6x reply).
    Bytes frame(1 + pdu.size());
    frame[0] = address;
    std::copy(pdu.begin(), pdu.end(), frame.begin() + 1);
    AppendCrc(frame);
    return frame;
}

} // namespace metersim::pmb
