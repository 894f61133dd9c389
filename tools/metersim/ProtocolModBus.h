// The ModBus family on the line. A request begins after a pause (or the end of a frame that a meter
// on the line took) and ends either where its function's layout says, once its CRC is right, or,
// for the other functions, at the next pause (the RTU rule that silence ends a frame, with the
// line's frame gap as the silence), if the CRC over the whole burst is right.
#pragma once

#include "FrameModBus.h"
#include "MeterModBus.h"
#include "PauseFramedProtocol.h"

#include <map>

namespace metersim {

class ProtocolModBus : public PauseFramedProtocol, private ReplyFrameHooks {
public:
    // Throws ScenarioError when two meters share an address or a meter is not a ModBus meter.
    ProtocolModBus(const std::vector<Meter*>& meters, const LineContext& context);

    static std::unique_ptr<LineProtocol> Create(const std::vector<Meter*>& meters, const LineContext& context);

private:
    Decision Judge(const Bytes& collected) const override;
    Decision AtPause(const Bytes& collected) const override;
    bool Takes(const Bytes& frame) const override;
    void Answer(const Bytes& frame, MonoTime now) override;
    void Broadcast(const pmb::Request& r);

    // ReplyFrameHooks
    void BreakChecksum(Bytes& frame) const override;
    void MakeException(Bytes& frame, std::uint8_t code) const override;
    // There is no start byte to keep clear of.
    bool AllowedAsNoise(std::uint8_t) const override { return true; }

    std::map<std::uint8_t, MeterModBus*> meters_;
};

} // namespace metersim
