#include "ProtocolModBus.h"

namespace metersim {

namespace {

std::string Who(std::uint8_t address)
{
    return "modbus:" + std::to_string(address);
}

} // namespace

ProtocolModBus::ProtocolModBus(const std::vector<Meter*>& meters, const LineContext& context)
    : PauseFramedProtocol("modbus", context)
{
    for (Meter* m : meters) {
        auto* meter = dynamic_cast<MeterModBus*>(m);
        if (!meter) throw ScenarioError("meter " + std::to_string(m->Address()) + " is not a ModBus meter");
        if (!meters_.emplace(static_cast<std::uint8_t>(meter->Address()), meter).second)
            throw ScenarioError("two modbus meters at address " + std::to_string(meter->Address()));
    }
}

std::unique_ptr<LineProtocol> ProtocolModBus::Create(const std::vector<Meter*>& meters, const LineContext& context)
{
    return std::make_unique<ProtocolModBus>(meters, context);
}

PauseFramedProtocol::Decision ProtocolModBus::Judge(const Bytes& collected) const
{
    if (collected.size() > pmb::kMaxFrame) return Decision::None("longer than 256 bytes");
    // A known layout ends the frame as soon as its CRC is right; a wrong CRC there may still be a
    // longer frame of another layout, which the pause decides.
    if (auto length = pmb::RequestLength(collected); length && collected.size() == *length && pmb::CrcOk(collected))
        return Decision::Frame();
    return Decision::More();
}

PauseFramedProtocol::Decision ProtocolModBus::AtPause(const Bytes& collected) const
{
    if (collected.size() < 4) return Decision::None("too short for a frame, line went quiet");
    if (!pmb::CrcOk(collected)) return Decision::None("wrong CRC, line went quiet");
    return Decision::Frame();
}

bool ProtocolModBus::Takes(const Bytes& frame) const
{
    return frame[0] == pmb::kBroadcast || meters_.count(frame[0]) != 0;
}

void ProtocolModBus::Broadcast(const pmb::Request& r)
{
    if (r.function != 0x10) {
        context_.log.Write("BROADCAST", Who(r.address), r.raw, "not a broadcast function; ignored");
        return;
    }
    context_.log.Write("BROADCAST", Who(r.address), r.raw,
                       "write for " + std::to_string(meters_.size()) + " meter(s), never answered");
    for (auto& [address, meter] : meters_) {
        meter->CountRequest();
        meter->Handle(r);
    }
}

void ProtocolModBus::Answer(const Bytes& frame, MonoTime now)
{
    const pmb::Request r = pmb::ParseRequest(frame);
    if (r.address == pmb::kBroadcast) {
        Broadcast(r);
        return;
    }
    auto it = meters_.find(r.address);
    if (it == meters_.end()) {
        context_.log.Write("IGNORED", Who(r.address), r.raw, "no meter at this address");
        return;
    }
    MeterModBus& meter = *it->second;
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
    ShapedReply shaped = meter.Faults().Shape(number, pmb::BuildReply(r.address, answer.data), *this, context_.rng);
    if (shaped.silent) {
        context_.log.Write("NOREPLY", Who(r.address), {}, "fault: " + shaped.faults);
        return;
    }
    const MonoTime due = now + std::chrono::milliseconds(shaped.delayMs);
    context_.sink.Send(Who(r.address), std::move(shaped), due);
}

void ProtocolModBus::BreakChecksum(Bytes& frame) const
{
    frame[frame.size() - 2] ^= 0x5A; // the CRC's low byte
}

void ProtocolModBus::MakeException(Bytes& frame, std::uint8_t code) const
{
    frame = {frame[0], static_cast<std::uint8_t>(frame[1] | pmb::kExceptionFlag), code};
    pmb::AppendCrc(frame);
}

} // namespace metersim
