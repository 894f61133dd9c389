// The 6x protocol family on the line: cuts requests out of the byte stream, gives each to the meter
// at its address, builds the reply frame and lets the meter's faults act on it.
//
// The verification-mode switches (31 7A, A8 53) sent to address 0 reach every 6x meter on the line
// and are never answered (logged as BROADCAST).
#pragma once

#include "Frame6x.h"
#include "Meter6x.h"
#include "MeterRelay.h"
#include "StartByteProtocol.h"

#include <map>

namespace metersim {

class Protocol6x : public StartByteProtocol, private ReplyFrameHooks {
public:
    // Throws ScenarioError when two meters share an address or a meter is not a 6x meter.
    Protocol6x(const std::vector<Meter*>& meters, const LineContext& context);

    static std::unique_ptr<LineProtocol> Create(const std::vector<Meter*>& meters, const LineContext& context);

private:
    bool Takes(const Bytes& frame) const override;
    void Answer(const Bytes& frame, MonoTime now) override;
    static bool IsBroadcast(const p6x::Request& r);
    // Answers a request with the meter's answer: logs, counts, shapes and sends the reply.
    void Reply(Meter& meter, const p6x::Request& r, metersim::Answer answer, MonoTime now);

    // ReplyFrameHooks
    void BreakChecksum(Bytes& frame) const override;
    void BreakAddressCheck(Bytes& frame) const override;
    bool AllowedAsNoise(std::uint8_t b) const override { return b != p6x::kReplyStart; }

    std::map<std::uint8_t, Meter6x*> meters_;
    std::map<std::uint8_t, MeterRelay*> relayMeters_; // relay meters at a network address of their own
};

} // namespace metersim
