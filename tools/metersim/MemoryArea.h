// One addressable memory of a meter (parameter memory, RAM, clock chip, data flash, registers).
//
// An area has a number of addresses, each holding `unit` bytes (1 for byte memories, 2 for 16-bit
// registers); counts and byte strings are always in bytes. Bytes that were never set read as the
// area's fill value. The area remembers which bytes were set (by the scenario or by a write), so
// that a dump lists exactly those, whatever their value: a write of FF FF into erased memory still
// shows up.
//
// Cells can be read-only: Write (the scenario, a meter model setting its own cells) stores into them,
// Store (a write command) leaves them as they are.
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
    // size is the number of addresses (at most 2^32), unit the bytes per address.
    MemoryArea(std::string name, std::uint64_t size, std::uint8_t fill, unsigned unit = 1);

    const std::string& Name() const { return name_; }
    std::uint64_t Size() const { return size_; }
    std::uint8_t Fill() const { return fill_; }
    unsigned Unit() const { return unit_; }

    // True when the count bytes from address addr all lie inside the area.
    bool Contains(std::uint64_t addr, std::uint64_t count) const
    {
        return addr <= size_ && count <= (size_ - addr) * unit_;
    }

    // All require Contains(addr, count); they throw std::out_of_range otherwise.
    Bytes Read(std::uint64_t addr, std::size_t count) const;
    void Write(std::uint64_t addr, const Bytes& data);
    // As Write, but read-only bytes keep their value.
    void Store(std::uint64_t addr, const Bytes& data);
    void Protect(std::uint64_t addr, std::size_t count);
    // Changes the number of addresses; throws std::out_of_range when set or read-only bytes would
    // fall outside.
    void Resize(std::uint64_t size);

    // Runs of consecutive set bytes, in address order: (start address, bytes). A run of a
    // multi-byte unit area starts at a whole address as long as the writes were of whole units.
    std::vector<std::pair<std::uint64_t, Bytes>> SetRuns() const;
    // Runs of read-only bytes: (start address, count of bytes).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ProtectedRuns() const;

private:
    void Check(std::uint64_t addr, std::uint64_t count, const char* what) const;

    std::string name_;
    std::uint64_t size_;
    std::uint8_t fill_;
    unsigned unit_;
    std::map<std::uint64_t, std::uint8_t> set_;        // by byte offset; sparse: areas are touched in small blocks
    std::map<std::uint64_t, std::uint64_t> protected_; // byte offset -> count, merged
};

} // namespace metersim
