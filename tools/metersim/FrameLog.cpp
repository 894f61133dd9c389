#include "FrameLog.h"

#include <cerrno>
#include <system_error>

namespace metersim {

FrameLog::~FrameLog()
{
    if (file_) std::fclose(file_);
}

void FrameLog::Open(const std::string& path)
{
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) throw std::system_error(errno, std::generic_category(), "cannot open the log " + path);
    start_ = MonoNow();
}

void FrameLog::Write(std::string_view kind, std::optional<std::uint32_t> address, const Bytes& bytes,
                     std::string_view note)
{
    Write(kind, address ? std::to_string(*address) : std::string("-"), bytes, note);
}

void FrameLog::Write(std::string_view kind, std::string_view who, const Bytes& bytes, std::string_view note)
{
    if (!file_) return;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(MonoNow() - start_).count();
    std::string line = std::to_string(us / 1'000'000) + ".";
    const std::string frac = std::to_string(us % 1'000'000);
    line += std::string(6 - frac.size(), '0') + frac;
    line += ' ';
    line += kind;
    line += ' ';
    line += who;
    if (!bytes.empty()) line += ' ' + FormatHex(bytes, true);
    if (!note.empty()) {
        line += " # ";
        line += note;
    }
    line += '\n';
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
}

} // namespace metersim
