#include "ProtocolM4.h"

namespace metersim {

namespace {

std::string Who(std::uint8_t address)
{
    return "m4:" + std::to_string(address);
}

} // namespace

ProtocolM4::ProtocolM4(const std::vector<Meter*>& meters, const LineContext& context)
    : PauseFramedProtocol("m4", context)
{
    for (Meter* m : meters) {
        auto* meter = dynamic_cast<MeterM4*>(m);
        if (!meter) throw ScenarioError("meter " + std::to_string(m->Address()) + " is not an M4 meter");
        if (!meters_.emplace(static_cast<std::uint8_t>(meter->Address()), meter).second)
            throw ScenarioError("two m4 meters at address " + std::to_string(meter->Address()));
    }
}

std::unique_ptr<LineProtocol> ProtocolM4::Create(const std::vector<Meter*>& meters, const LineContext& context)
{
    return std::make_unique<ProtocolM4>(meters, context);
}

PauseFramedProtocol::Decision ProtocolM4::Judge(const Bytes& collected) const
{
    if (const char* wrong = pm4::CheckRequest(collected)) return Decision::None(wrong);
    return collected.size() == pm4::kSize ? Decision::Frame() : Decision::More();
}

PauseFramedProtocol::Decision ProtocolM4::AtPause(const Bytes& collected) const
{
    return Decision::None("incomplete frame (" + std::to_string(collected.size()) + " of 14 bytes), line went quiet");
}

bool ProtocolM4::Takes(const Bytes& frame) const
{
    return meters_.count(frame[1]) != 0;
}

void ProtocolM4::Answer(const Bytes& frame, MonoTime now)
{
    const pm4::Request r = pm4::ParseRequest(frame);
    auto it = meters_.find(r.address);
    if (it == meters_.end()) {
        context_.log.Write("IGNORED", Who(r.address), r.raw, "no meter at this address");
        return;
    }
    MeterM4& meter = *it->second;
    context_.log.Write("RX", Who(r.address), r.raw);
    if (!context_.Hears(meter)) {
        context_.NotHeard(meter, Who(r.address));
        return;
    }
    meter.CountRequest();
    metersim::Answer answer = meter.Handle(r);
    if (!answer.reply) {
        context_.log.Write("NOREPLY", Who(r.address), {}, answer.reason);
        return;
    }
    const std::uint64_t number = meter.NextReplyNumber();
    Bytes reply =
        pm4::BuildReply(r.address, static_cast<std::uint8_t>(r.letter | pm4::kReplyFlag), r.p1, r.p2, answer.data);
    ShapedReply shaped = meter.Faults().Shape(number, std::move(reply), *this, context_.rng);
    if (shaped.silent) {
        context_.log.Write("NOREPLY", Who(r.address), {}, "fault: " + shaped.faults);
        return;
    }
    const MonoTime due = now + std::chrono::milliseconds(shaped.delayMs);
    context_.sink.Send(Who(r.address), std::move(shaped), due);
}

void ProtocolM4::BreakChecksum(Bytes& frame) const
{
    // Neither the complement of the sum (xor FF) nor the negated sum: a receiver with such a slip
    // still refuses the frame.
    frame.back() ^= 0x5A;
}

void ProtocolM4::BreakReplyCode(Bytes& frame) const
{
    frame[2] &= static_cast<std::uint8_t>(~pm4::kReplyFlag); // the request's letter
    frame.back() = pm4::Checksum(frame.data(), frame.size() - 1);
}

} // namespace metersim
