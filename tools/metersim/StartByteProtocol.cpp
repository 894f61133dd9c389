#include "StartByteProtocol.h"

namespace metersim {

StartByteProtocol::StartByteProtocol(std::string family, const StartByteLayout& layout, const LineContext& context)
    : context_(context), family_(std::move(family)), deframer_(layout)
{
}

void StartByteProtocol::Receive(std::uint8_t byte, std::uint64_t offset, MonoTime now)
{
    std::vector<StartByteDeframer::Event> events;
    // The line may have gone quiet before this byte without the loop noticing in time.
    if (deframer_.HasPartialFrame() && now - lastByte_ >= context_.frameGap)
        deframer_.Abandon("incomplete frame, line went quiet", events);
    lastByte_ = now;
    deframer_.Push(byte, offset, events);
    Report(events);
}

void StartByteProtocol::StartFrame(std::uint64_t)
{
    std::vector<StartByteDeframer::Event> events;
    deframer_.Abandon("incomplete frame, another family's frame went by", events);
    Report(events);
}

std::optional<MonoTime> StartByteProtocol::Deadline() const
{
    if (!deframer_.HasPartialFrame()) return std::nullopt;
    return lastByte_ + context_.frameGap;
}

void StartByteProtocol::OnDeadline(MonoTime now)
{
    if (!deframer_.HasPartialFrame() || now - lastByte_ < context_.frameGap) return;
    std::vector<StartByteDeframer::Event> events;
    deframer_.Abandon("incomplete frame, line went quiet", events);
    Report(events);
}

void StartByteProtocol::Reset()
{
    std::vector<StartByteDeframer::Event> events;
    deframer_.Abandon("incomplete frame, line unplugged", events);
    Report(events);
    found_.clear();
}

void StartByteProtocol::Report(std::vector<StartByteDeframer::Event>& events)
{
    for (auto& e : events) {
        const std::uint64_t end = e.offset + e.bytes.size();
        if (e.kind == StartByteDeframer::Event::Kind::Garbage) {
            context_.ledger.Garbage(family_, e.offset, end, e.reason);
            continue;
        }
        context_.ledger.Claim(e.offset, end, Takes(e.bytes));
        found_.push_back(std::move(e.bytes));
    }
}

void StartByteProtocol::Dispatch(MonoTime now)
{
    while (!found_.empty()) {
        Bytes frame = std::move(found_.front());
        found_.pop_front();
        Answer(frame, now);
    }
}

} // namespace metersim
