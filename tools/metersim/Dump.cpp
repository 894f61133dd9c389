#include "Dump.h"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <unistd.h>

namespace metersim {

json BuildDump(const std::vector<std::unique_ptr<Meter>>& meters, std::uint64_t sequence)
{
    json list = json::array();
    for (const auto& m : meters)
        list.push_back(m->Dump());
    return {{"sequence", sequence}, {"meters", list}};
}

void WriteFileAtomically(const std::string& path, const std::string& content)
{
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) throw std::system_error(errno, std::generic_category(), "cannot create " + temp);
    const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    const int writeErrno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        const int saved = written ? errno : writeErrno;
        std::remove(temp.c_str());
        throw std::system_error(saved, std::generic_category(), "cannot write " + temp);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        std::remove(temp.c_str());
        throw std::system_error(saved, std::generic_category(), "cannot rename " + temp + " to " + path);
    }
}

} // namespace metersim
