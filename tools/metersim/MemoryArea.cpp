#include "MemoryArea.h"

#include <stdexcept>

namespace metersim {

MemoryArea::MemoryArea(std::string name, std::uint64_t size, std::uint8_t fill)
    : name_(std::move(name)), size_(size), fill_(fill) {}

Bytes MemoryArea::Read(std::uint64_t addr, std::size_t count) const {
    if (!Contains(addr, count)) throw std::out_of_range("read past the end of " + name_);
    Bytes out(count, fill_);
    for (auto it = set_.lower_bound(addr); it != set_.end() && it->first < addr + count; ++it)
        out[it->first - addr] = it->second;
    return out;
}

void MemoryArea::Write(std::uint64_t addr, const Bytes& data) {
    if (!Contains(addr, data.size())) throw std::out_of_range("write past the end of " + name_);
    for (std::size_t i = 0; i < data.size(); ++i)
        set_[addr + i] = data[i];
}

std::vector<std::pair<std::uint64_t, Bytes>> MemoryArea::SetRuns() const {
    std::vector<std::pair<std::uint64_t, Bytes>> runs;
    for (const auto& [addr, value] : set_) {
        if (runs.empty() || runs.back().first + runs.back().second.size() != addr)
            runs.emplace_back(addr, Bytes{});
        runs.back().second.push_back(value);
    }
    return runs;
}

} // namespace metersim
