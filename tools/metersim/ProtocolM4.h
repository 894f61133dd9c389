// The M4 family on the line: a request is the 14 bytes that follow a pause (or the end of a frame
// that a meter on the line took), starting with 00 and closed by the right sum; the meter at its
// address answers.
#pragma once

#include "FrameM4.h"
#include "MeterM4.h"
#include "PauseFramedProtocol.h"

#include <map>

namespace metersim {

class ProtocolM4 : public PauseFramedProtocol, private ReplyFrameHooks {
public:
    // Throws ScenarioError when two meters share an address or a meter is not an M4 meter.
    ProtocolM4(const std::vector<Meter*>& meters, const LineContext& context);

    static std::unique_ptr<LineProtocol> Create(const std::vector<Meter*>& meters, const LineContext& context);

private:
    Decision Judge(const Bytes& collected) const override;
    Decision AtPause(const Bytes& collected) const override;
    bool Takes(const Bytes& frame) const override;
    void Answer(const Bytes& frame, MonoTime now) override;

    // ReplyFrameHooks
    void BreakChecksum(Bytes& frame) const override;
    void BreakReplyCode(Bytes& frame) const override;
    // There is no start byte to keep clear of.
    bool AllowedAsNoise(std::uint8_t) const override { return true; }

    std::map<std::uint8_t, MeterM4*> meters_;
};

} // namespace metersim
