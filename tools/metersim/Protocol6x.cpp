#include "Protocol6x.h"

namespace metersim {

Protocol6x::Protocol6x(const std::vector<Meter*>& meters, const LineContext& context) : context_(context) {
    for (Meter* m : meters) {
        auto* meter = dynamic_cast<Meter6x*>(m);
        if (!meter) throw ScenarioError("meter " + std::to_string(m->Address()) + " is not a 6x meter");
        if (!meters_.emplace(static_cast<std::uint8_t>(meter->Address()), meter).second)
            throw ScenarioError("two 6x meters at address " + std::to_string(meter->Address()));
    }
}

std::unique_ptr<LineProtocol> Protocol6x::Create(const std::vector<Meter*>& meters,
                                                 const LineContext& context) {
    return std::make_unique<Protocol6x>(meters, context);
}

void Protocol6x::Receive(const std::uint8_t* data, std::size_t count, MonoTime now) {
    std::vector<p6x::RequestDeframer::Event> events;
    // The line may have gone quiet before these bytes without the loop noticing in time.
    if (deframer_.HasPartialFrame() && now - lastByte_ >= context_.frameGap) deframer_.Abandon(events);
    lastByte_ = now;
    deframer_.Push(data, count, events);
    Handle(events, now);
}

std::optional<MonoTime> Protocol6x::Deadline() const {
    if (!deframer_.HasPartialFrame()) return std::nullopt;
    return lastByte_ + context_.frameGap;
}

void Protocol6x::OnDeadline(MonoTime now) {
    if (!deframer_.HasPartialFrame() || now - lastByte_ < context_.frameGap) return;
    std::vector<p6x::RequestDeframer::Event> events;
    deframer_.Abandon(events);
    Handle(events, now);
}

void Protocol6x::Reset() {
    std::vector<p6x::RequestDeframer::Event> events;
    deframer_.Abandon(events);
    Handle(events, MonoNow());
}

void Protocol6x::Handle(std::vector<p6x::RequestDeframer::Event>& events, MonoTime now) {
    using Kind = p6x::RequestDeframer::Event::Kind;
    for (auto& e : events) {
        if (e.kind == Kind::Garbage) {
            context_.log.Write("GARBAGE", std::nullopt, e.bytes, e.reason);
            continue;
        }
        const p6x::Request& r = e.request;
        auto it = meters_.find(r.address);
        if (it == meters_.end()) {
            context_.log.Write("IGNORED", r.address, r.raw, "no meter at this address");
            continue;
        }
        Meter6x& meter = *it->second;
        context_.log.Write("RX", r.address, r.raw);
        meter.CountRequest();
        Meter6x::Answer answer = meter.Handle(r);
        if (!answer.reply) {
            context_.log.Write("NOREPLY", r.address, {}, answer.reason);
            continue;
        }
        const std::uint64_t number = meter.NextReplyNumber();
        Bytes frame = p6x::BuildReply(r.address, r.group, r.command, answer.data);
        ShapedReply shaped = meter.Faults().Shape(number, std::move(frame), *this, context_.rng);
        if (shaped.silent) {
            context_.log.Write("NOREPLY", r.address, {}, "fault: " + shaped.faults);
            continue;
        }
        const MonoTime due = now + std::chrono::milliseconds(shaped.delayMs);
        context_.sink.Send(r.address, std::move(shaped), due);
    }
}

void Protocol6x::BreakChecksum(Bytes& frame) const {
    // Off from the right value by a pattern that no usual slip in checksum code produces (a plain
    // sum is the right value xor FF, a negated sum the right value plus 1), so that a receiver with
    // such a slip still refuses the frame.
    frame.back() ^= 0x5A;
}

void Protocol6x::BreakAddressCheck(Bytes& frame) const {
    frame[2] = frame[1]; // the address where its complement belongs
    frame.back() = p6x::Checksum(frame.data(), frame.size() - 1);
}

} // namespace metersim
