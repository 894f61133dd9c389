// One addressable memory of a meter (parameter memory, RAM, clock chip, data flash).
//
// Bytes that were never set read as the area's fill value. The area remembers which bytes were
// set (by the scenario or by a write), so that a dump lists exactly those, whatever their value:
// a write of FF FF into erased memory still shows up.
#pragma once

#include "Bytes.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace metersim {

class MemoryArea {
  public:
    // size is the number of addressable bytes (at most 2^32).
    MemoryArea(std::string name, std::uint64_t size, std::uint8_t fill);

    const std::string& Name() const { return name_; }
    std::uint64_t Size() const { return size_; }
    std::uint8_t Fill() const { return fill_; }

    // True when addr .. addr + count - 1 all lie inside the area.
    bool Contains(std::uint64_t addr, std::uint64_t count) const {
        return addr <= size_ && count <= size_ - addr;
    }

    // Both require Contains(addr, count); they throw std::out_of_range otherwise.
    Bytes Read(std::uint64_t addr, std::size_t count) const;
    void Write(std::uint64_t addr, const Bytes& data);

    // Runs of consecutive set bytes, in address order: (start address, bytes).
    std::vector<std::pair<std::uint64_t, Bytes>> SetRuns() const;

  private:
    std::string name_;
    std::uint64_t size_;
    std::uint8_t fill_;
    std::map<std::uint64_t, std::uint8_t> set_; // sparse: the areas are touched in small blocks
};

} // namespace metersim
