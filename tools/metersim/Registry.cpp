#include "Registry.h"

namespace metersim {

void Registry::AddProtocol(std::string protocol, LineProtocolFactory create)
{
    protocols_.push_back({std::move(protocol), create});
}

void Registry::AddModel(std::string protocol, std::string model, MeterFactory create)
{
    models_.push_back({std::move(protocol), std::move(model), create});
}

LineProtocolFactory Registry::Protocol(const std::string& protocol) const
{
    for (const auto& p : protocols_)
        if (p.protocol == protocol) return p.create;
    return nullptr;
}

std::unique_ptr<Meter> Registry::CreateMeter(const std::string& protocol, const std::string& model) const
{
    for (const auto& m : models_)
        if (m.protocol == protocol && m.model == model) return m.create();
    return nullptr;
}

std::vector<std::string> Registry::Protocols() const
{
    std::vector<std::string> out;
    for (const auto& p : protocols_)
        out.push_back(p.protocol);
    return out;
}

std::vector<std::string> Registry::Models(const std::string& protocol) const
{
    std::vector<std::string> out;
    for (const auto& m : models_)
        if (m.protocol == protocol) out.push_back(m.model);
    return out;
}

} // namespace metersim
