// The relay family on the line: requests addressed by serial number, cut out of the byte stream as
// the 6x family does (the two tell their 0x55 frames apart by their layout: a 6x frame carries the
// address complement at offset 2 and its length at offset 5, a relay frame a 32-bit address and its
// length at offset 7; each family's checksum check refuses the other's frames).
//
// Frames to the broadcast address 44400000 reach every relay meter and are never answered (logged
// as BROADCAST); only the verification-mode switches act on them.
#pragma once

#include "FrameRelay.h"
#include "MeterRelay.h"
#include "StartByteProtocol.h"

#include <map>

namespace metersim {

class ProtocolRelay : public StartByteProtocol, private ReplyFrameHooks {
public:
    // Throws ScenarioError when two meters share a serial number or a meter is not a relay meter.
    ProtocolRelay(const std::vector<Meter*>& meters, const LineContext& context);

    static std::unique_ptr<LineProtocol> Create(const std::vector<Meter*>& meters, const LineContext& context);

private:
    bool Takes(const Bytes& frame) const override;
    void Answer(const Bytes& frame, MonoTime now) override;
    void Broadcast(const prelay::Request& r);

    // ReplyFrameHooks
    void BreakChecksum(Bytes& frame) const override;
    bool AllowedAsNoise(std::uint8_t b) const override { return b != prelay::kReplyStart; }

    std::map<std::uint32_t, MeterRelay*> meters_;
};

} // namespace metersim
