// The part of a line protocol that the families with a start byte (6x, relay) share: requests are
// cut out of the byte stream by a StartByteDeframer, a partial request is dropped after the line's
// frame gap, and the family answers the requests it finds.
#pragma once

#include "LineProtocol.h"
#include "StartByteDeframer.h"

#include <deque>
#include <string>

namespace metersim {

class StartByteProtocol : public LineProtocol {
public:
    void Receive(std::uint8_t byte, std::uint64_t offset, MonoTime now) override;
    void StartFrame(std::uint64_t offset) override;
    void Dispatch(MonoTime now) override;
    std::optional<std::uint64_t> Horizon() const override { return deframer_.Horizon(); }
    std::optional<MonoTime> Deadline() const override;
    void OnDeadline(MonoTime now) override;
    void Reset() override;

protected:
    StartByteProtocol(std::string family, const StartByteLayout& layout, const LineContext& context);

    // Whether a meter on the line takes this well-formed frame (answered or not).
    virtual bool Takes(const Bytes& frame) const = 0;
    // Logs the frame and lets the meters answer it.
    virtual void Answer(const Bytes& frame, MonoTime now) = 0;

    LineContext context_;

private:
    void Report(std::vector<StartByteDeframer::Event>& events);

    std::string family_;
    StartByteDeframer deframer_;
    std::deque<Bytes> found_; // claimed, not yet answered
    MonoTime lastByte_{};
};

} // namespace metersim
