#include "ProtocolRelay.h"

namespace metersim {

namespace {

std::string Who(std::uint32_t serial)
{
    return "relay:" + std::to_string(serial);
}

} // namespace

ProtocolRelay::ProtocolRelay(const std::vector<Meter*>& meters, const LineContext& context)
    : StartByteProtocol("relay", prelay::RequestLayout(), context)
{
    for (Meter* m : meters) {
        auto* meter = dynamic_cast<MeterRelay*>(m);
        if (!meter) throw ScenarioError("meter " + std::to_string(m->Address()) + " is not a relay meter");
        if (!meters_.emplace(meter->Address(), meter).second)
            throw ScenarioError("two relay meters with serial number " + std::to_string(meter->Address()));
    }
}

std::unique_ptr<LineProtocol> ProtocolRelay::Create(const std::vector<Meter*>& meters, const LineContext& context)
{
    return std::make_unique<ProtocolRelay>(meters, context);
}

bool ProtocolRelay::Takes(const Bytes& frame) const
{
    const std::uint32_t serial = prelay::ParseRequest(frame).serial;
    return serial == prelay::kBroadcast || meters_.count(serial) != 0;
}

void ProtocolRelay::Broadcast(const prelay::Request& r)
{
    bool on = false;
    if (!MeterRelay::IsVerificationSwitch(r, on)) {
        context_.log.Write("BROADCAST", Who(r.serial), r.raw, "not a broadcast command; ignored");
        return;
    }
    context_.log.Write("BROADCAST", Who(r.serial), r.raw,
                       std::string("verification mode ") + (on ? "on" : "off") + " for " +
                           std::to_string(meters_.size()) + " meter(s)");
    for (auto& [serial, meter] : meters_) {
        meter->CountRequest();
        meter->Handle(r); // switches the mode; never answered
    }
}

void ProtocolRelay::Answer(const Bytes& frame, MonoTime now)
{
    const prelay::Request r = prelay::ParseRequest(frame);
    if (r.serial == prelay::kBroadcast) {
        Broadcast(r);
        return;
    }
    auto it = meters_.find(r.serial);
    if (it == meters_.end()) {
        context_.log.Write("IGNORED", Who(r.serial), r.raw, "no meter with this serial number");
        return;
    }
    MeterRelay& meter = *it->second;
    context_.log.Write("RX", Who(r.serial), r.raw);
    if (!context_.Hears(meter)) {
        context_.NotHeard(meter, Who(r.serial));
        return;
    }
    meter.CountRequest();
    metersim::Answer answer = meter.Handle(r);
    if (!answer.reply) {
        context_.log.Write("NOREPLY", Who(r.serial), {}, answer.reason);
        return;
    }
    const std::uint64_t number = meter.NextReplyNumber();
    Bytes reply = prelay::BuildReply(r.serial, r.group, r.command, answer.data);
    ShapedReply shaped = meter.Faults().Shape(number, std::move(reply), *this, context_.rng);
    if (shaped.silent) {
        context_.log.Write("NOREPLY", Who(r.serial), {}, "fault: " + shaped.faults);
        return;
    }
    const MonoTime due = now + std::chrono::milliseconds(shaped.delayMs);
    context_.sink.Send(Who(r.serial), std::move(shaped), due);
}

void ProtocolRelay::BreakChecksum(Bytes& frame) const
{
    // As for 6x frames: a value that neither a plain nor a negated sum would give.
    frame.back() ^= 0x5A;
}

} // namespace metersim
