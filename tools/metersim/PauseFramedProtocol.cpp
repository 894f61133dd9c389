#include "PauseFramedProtocol.h"

namespace metersim {

PauseFramedProtocol::PauseFramedProtocol(std::string family, const LineContext& context)
    : context_(context), family_(std::move(family))
{
}

void PauseFramedProtocol::Receive(std::uint8_t byte, std::uint64_t offset, MonoTime now)
{
    // A pause before this byte (the loop may not have noticed it in time).
    if (heard_ && now - lastByte_ >= context_.frameGap) {
        if (!collected_.empty()) Decide(AtPause(collected_));
        Drop("incomplete frame, line went quiet"); // AtPause always decides; nothing is left
        armed_ = true;
    }
    heard_ = true;
    lastByte_ = now;
    if (collected_.empty()) {
        if (!armed_) {
            context_.ledger.Garbage(family_, offset, offset + 1, "not at the start of a frame");
            return;
        }
        armed_ = false;
        start_ = offset;
    }
    collected_.push_back(byte);
    Decide(Judge(collected_));
}

void PauseFramedProtocol::Decide(const Decision& d)
{
    switch (d.kind) {
    case Decision::Kind::More: return;
    case Decision::Kind::Frame:
        context_.ledger.Claim(start_, start_ + collected_.size(), Takes(collected_));
        found_.push_back(std::move(collected_));
        collected_.clear();
        armed_ = true; // the next request may follow at once
        return;
    case Decision::Kind::None:
        Drop(d.reason);
        armed_ = false; // until the next pause
        return;
    }
}

void PauseFramedProtocol::Drop(const std::string& why)
{
    if (collected_.empty()) return;
    context_.ledger.Garbage(family_, start_, start_ + collected_.size(), why);
    collected_.clear();
}

void PauseFramedProtocol::StartFrame(std::uint64_t)
{
    Drop("incomplete frame, another family's frame went by");
    armed_ = true;
}

std::optional<std::uint64_t> PauseFramedProtocol::Horizon() const
{
    if (collected_.empty()) return std::nullopt;
    return start_;
}

std::optional<MonoTime> PauseFramedProtocol::Deadline() const
{
    if (collected_.empty()) return std::nullopt;
    return lastByte_ + context_.frameGap;
}

void PauseFramedProtocol::OnDeadline(MonoTime now)
{
    if (collected_.empty() || now - lastByte_ < context_.frameGap) return;
    Decide(AtPause(collected_));
    if (!collected_.empty()) Drop("incomplete frame, line went quiet"); // AtPause always decides
    armed_ = true;
}

void PauseFramedProtocol::Reset()
{
    Drop("incomplete frame, line unplugged");
    found_.clear();
    armed_ = true;
    heard_ = false;
}

void PauseFramedProtocol::Dispatch(MonoTime now)
{
    while (!found_.empty()) {
        Bytes frame = std::move(found_.front());
        found_.pop_front();
        Answer(frame, now);
    }
}

} // namespace metersim
