// The 6x protocol family on the line: cuts requests out of the byte stream, gives each to the meter
// at its address, builds the reply frame and lets the meter's faults act on it.
#pragma once

#include "Frame6x.h"
#include "LineProtocol.h"
#include "Meter6x.h"

#include <map>

namespace metersim {

class Protocol6x : public LineProtocol, private ReplyFrameHooks {
  public:
    // Throws ScenarioError when two meters share an address or a meter is not a 6x meter.
    Protocol6x(const std::vector<Meter*>& meters, const LineContext& context);

    static std::unique_ptr<LineProtocol> Create(const std::vector<Meter*>& meters,
                                                const LineContext& context);

    void Receive(const std::uint8_t* data, std::size_t count, MonoTime now) override;
    std::optional<MonoTime> Deadline() const override;
    void OnDeadline(MonoTime now) override;
    void Reset() override;

  private:
    void Handle(std::vector<p6x::RequestDeframer::Event>& events, MonoTime now);

    // ReplyFrameHooks
    void BreakChecksum(Bytes& frame) const override;
    void BreakAddressCheck(Bytes& frame) const override;
    bool AllowedAsNoise(std::uint8_t b) const override { return b != p6x::kReplyStart; }

    std::map<std::uint8_t, Meter6x*> meters_;
    LineContext context_;
    p6x::RequestDeframer deframer_;
    MonoTime lastByte_{};
};

} // namespace metersim
