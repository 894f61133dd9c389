// Which protocol families and meter models the simulator knows.
//
// Adding a family: a LineProtocol and a Meter class of its own, in their own files, plus one
// AddProtocol line in Builtins.cpp. Adding a meter type: a class derived from its family's meter
// class, plus one AddModel line.
#pragma once

#include "LineProtocol.h"
#include "Meter.h"

#include <memory>
#include <string>
#include <vector>

namespace metersim {

class Registry {
public:
    using MeterFactory = std::unique_ptr<Meter> (*)();

    void AddProtocol(std::string protocol, LineProtocolFactory create);
    void AddModel(std::string protocol, std::string model, MeterFactory create);

    // Null when unknown.
    LineProtocolFactory Protocol(const std::string& protocol) const;
    std::unique_ptr<Meter> CreateMeter(const std::string& protocol, const std::string& model) const;

    std::vector<std::string> Protocols() const;
    std::vector<std::string> Models(const std::string& protocol) const;

private:
    struct ProtocolEntry {
        std::string protocol;
        LineProtocolFactory create;
    };
    struct ModelEntry {
        std::string protocol;
        std::string model;
        MeterFactory create;
    };
    std::vector<ProtocolEntry> protocols_;
    std::vector<ModelEntry> models_;
};

// The families and models built into this simulator.
const Registry& BuiltinRegistry();

} // namespace metersim
