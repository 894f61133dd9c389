#include "Protocol6x.h"

namespace metersim {

Protocol6x::Protocol6x(const std::vector<Meter*>& meters, const LineContext& context)
    : StartByteProtocol("6x", p6x::RequestLayout(), context)
{
    for (Meter* m : meters) {
        if (auto* relay = dynamic_cast<MeterRelay*>(m); relay && relay->NetAddress()) {
            relayMeters_.emplace(*relay->NetAddress(), relay);
            continue;
        }
        auto* meter = dynamic_cast<Meter6x*>(m);
        if (!meter) throw ScenarioError("meter " + std::to_string(m->Address()) + " is not a 6x meter");
        if (!meters_.emplace(static_cast<std::uint8_t>(meter->Address()), meter).second)
            throw ScenarioError("two 6x meters at address " + std::to_string(meter->Address()));
    }
    for (const auto& [address, relay] : relayMeters_)
        if (meters_.count(address) != 0) throw ScenarioError("two 6x meters at address " + std::to_string(address));
}

std::unique_ptr<LineProtocol> Protocol6x::Create(const std::vector<Meter*>& meters, const LineContext& context)
{
    return std::make_unique<Protocol6x>(meters, context);
}

bool Protocol6x::IsBroadcast(const p6x::Request& r)
{
    bool on = false;
    return r.address == 0 && Meter6x::IsVerificationSwitch(r, on);
}

bool Protocol6x::Takes(const Bytes& frame) const
{
    const p6x::Request r = p6x::ParseRequest(frame);
    return IsBroadcast(r) || meters_.count(r.address) != 0 || relayMeters_.count(r.address) != 0;
}

void Protocol6x::Answer(const Bytes& frame, MonoTime now)
{
    const p6x::Request r = p6x::ParseRequest(frame);
    if (IsBroadcast(r)) {
        bool on = false;
        Meter6x::IsVerificationSwitch(r, on);
        context_.log.Write("BROADCAST", r.address, r.raw,
                           std::string("verification mode ") + (on ? "on" : "off") + " for " +
                               std::to_string(meters_.size()) + " meter(s)");
        for (auto& [address, meter] : meters_) {
            meter->CountRequest();
            meter->Handle(r); // switches the mode; never answered
        }
        return;
    }
    if (auto relay = relayMeters_.find(r.address); relay != relayMeters_.end()) {
        MeterRelay& meter = *relay->second;
        context_.log.Write("RX", r.address, r.raw);
        if (!context_.Hears(meter)) {
            context_.NotHeard(meter, std::to_string(r.address));
            return;
        }
        meter.CountRequest();
        const prelay::Request asRelay{meter.Address(), r.group, r.command, r.data, r.raw};
        metersim::Answer answer = meter.Handle(asRelay);
        const int code = (r.group << 8) | r.command;
        if (code == 0x0F81 || code == 0x0A42) answer.data.clear(); // a 6x write is answered without data
        Reply(meter, r, std::move(answer), now);
        return;
    }
    auto it = meters_.find(r.address);
    if (it == meters_.end()) {
        context_.log.Write("IGNORED", r.address, r.raw, "no meter at this address");
        return;
    }
    Meter6x& meter = *it->second;
    context_.log.Write("RX", r.address, r.raw);
    if (!context_.Hears(meter)) {
        context_.NotHeard(meter, std::to_string(r.address));
        return;
    }
    meter.CountRequest();
    Reply(meter, r, meter.Handle(r), now);
}

void Protocol6x::Reply(Meter& meter, const p6x::Request& r, metersim::Answer answer, MonoTime now)
{
    if (!answer.reply) {
        context_.log.Write("NOREPLY", r.address, {}, answer.reason);
        return;
    }
    const std::uint64_t number = meter.NextReplyNumber();
    Bytes reply = p6x::BuildReply(r.address, r.group, r.command, answer.data);
    ShapedReply shaped = meter.Faults().Shape(number, std::move(reply), *this, context_.rng);
    if (shaped.silent) {
        context_.log.Write("NOREPLY", r.address, {}, "fault: " + shaped.faults);
        return;
    }
    const MonoTime due = now + std::chrono::milliseconds(shaped.delayMs);
    context_.sink.Send(std::to_string(r.address), std::move(shaped), due);
}

void Protocol6x::BreakChecksum(Bytes& frame) const
{
    // Off from the right value by a pattern that no usual slip in checksum code produces (a plain
    // sum is the right value xor FF, a negated sum the right value plus 1), so that a receiver with
    // such a slip still refuses the frame.
    frame.back() ^= 0x5A;
}

void Protocol6x::BreakAddressCheck(Bytes& frame) const
{
    frame[2] = frame[1]; // the address where its complement belongs
    frame.back() = p6x::Checksum(frame.data(), frame.size() - 1);
}

} // namespace metersim
