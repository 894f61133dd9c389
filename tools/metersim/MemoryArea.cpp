#include "MemoryArea.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace metersim {

MemoryArea::MemoryArea(std::string name, std::uint64_t size, std::uint8_t fill, unsigned unit)
    : name_(std::move(name)), size_(size), fill_(fill), unit_(unit)
{
}

void MemoryArea::Check(std::uint64_t addr, std::uint64_t count, const char* what) const
{
    if (!Contains(addr, count)) throw std::out_of_range(std::string(what) + " past the end of " + name_);
}

Bytes MemoryArea::Read(std::uint64_t addr, std::size_t count) const
{
    Check(addr, count, "read");
    const std::uint64_t at = addr * unit_;
    Bytes out(count, fill_);
    for (auto it = set_.lower_bound(at); it != set_.end() && it->first < at + count; ++it)
        out[it->first - at] = it->second;
    return out;
}

void MemoryArea::Write(std::uint64_t addr, const Bytes& data)
{
    Check(addr, data.size(), "write");
    const std::uint64_t at = addr * unit_;
    for (std::size_t i = 0; i < data.size(); ++i)
        set_[at + i] = data[i];
}

void MemoryArea::Store(std::uint64_t addr, const Bytes& data)
{
    Check(addr, data.size(), "write");
    const std::uint64_t at = addr * unit_;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint64_t b = at + i;
        auto it = protected_.upper_bound(b);
        const bool readOnly = it != protected_.begin() && b < std::prev(it)->first + std::prev(it)->second;
        if (!readOnly) set_[b] = data[i];
    }
}

void MemoryArea::Protect(std::uint64_t addr, std::size_t count)
{
    Check(addr, count, "read-only range");
    std::uint64_t begin = addr * unit_;
    std::uint64_t end = begin + count;
    // Merge with the ranges it touches.
    auto it = protected_.upper_bound(begin);
    if (it != protected_.begin() && std::prev(it)->first + std::prev(it)->second >= begin) --it;
    while (it != protected_.end() && it->first <= end) {
        begin = std::min(begin, it->first);
        end = std::max(end, it->first + it->second);
        it = protected_.erase(it);
    }
    if (end > begin) protected_[begin] = end - begin;
}

void MemoryArea::Resize(std::uint64_t size)
{
    const std::uint64_t end = size * unit_;
    const bool setOutside = !set_.empty() && set_.rbegin()->first >= end;
    const bool protectedOutside = !protected_.empty() && protected_.rbegin()->first + protected_.rbegin()->second > end;
    if (setOutside || protectedOutside)
        throw std::out_of_range(name_ + " holds set or read-only bytes beyond " + std::to_string(size) + " addresses");
    size_ = size;
}

std::vector<std::pair<std::uint64_t, Bytes>> MemoryArea::SetRuns() const
{
    std::vector<std::pair<std::uint64_t, Bytes>> runs; // by byte offset first
    for (const auto& [offset, value] : set_) {
        if (runs.empty() || runs.back().first + runs.back().second.size() != offset) runs.emplace_back(offset, Bytes{});
        runs.back().second.push_back(value);
    }
    for (auto& run : runs)
        run.first /= unit_;
    return runs;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> MemoryArea::ProtectedRuns() const
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (const auto& [offset, count] : protected_)
        runs.emplace_back(offset / unit_, count);
    return runs;
}

} // namespace metersim
