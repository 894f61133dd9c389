// A simulated meter: its network address, its memories, its faults and what it has been asked.
//
// A protocol family (6x, and later others) derives its own meter class from Meter and answers that
// family's commands; a meter type with cells of its own derives from the family's class, in a file
// of its own, and is listed in the registry under its model name.
#pragma once

#include "Faults.h"
#include "JsonFields.h"
#include "MemoryArea.h"

#include <cstdint>
#include <string>
#include <vector>

namespace metersim {

class Meter {
  public:
    virtual ~Meter() = default;
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    std::uint32_t Address() const { return address_; }
    const std::string& Protocol() const { return protocol_; }
    const std::string& Model() const { return model_; }
    const FaultSet& Faults() const { return faults_; }

    // Null when the meter has no area of that name.
    MemoryArea* Area(const std::string& name);
    const std::vector<MemoryArea>& Areas() const { return areas_; }

    // Bookkeeping of the family: a request that reached this meter, and the number (from 1) of a
    // reply that the meter decided to give, before faults act on it.
    void CountRequest() { ++requests_; }
    std::uint64_t NextReplyNumber() { return ++replies_; }

    // Takes this meter's keys out of its scenario object. A derived class takes its own keys and
    // then calls this; keys left over are reported by the caller.
    virtual void Load(json& entry, const std::string& where);

    // The meter's state for the dump.
    virtual json Dump() const;

  protected:
    // maxAddress: the highest network address of the protocol family.
    Meter(std::string protocol, std::string model, std::uint32_t maxAddress);
    void AddArea(std::string name, std::uint64_t size, std::uint8_t fill);

  private:
    void LoadMemoryPatch(const json& patch, const std::string& where);

    std::string protocol_;
    std::string model_;
    std::uint32_t maxAddress_;
    std::uint32_t address_ = 0;
    std::vector<MemoryArea> areas_;
    FaultSet faults_;
    std::uint64_t requests_ = 0;
    std::uint64_t replies_ = 0;
};

} // namespace metersim
