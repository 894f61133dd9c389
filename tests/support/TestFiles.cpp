#include "TestFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

bool WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out.flush());
}

std::vector<std::string> FileNames(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TempFolder::TempFolder(const std::string& prefix, const fs::path& parent, bool open)
{
    std::string t = ((parent.empty() ? fs::temp_directory_path() : parent) / (prefix + "XXXXXX")).string();
    if (!::mkdtemp(t.data())) throw std::runtime_error("mkdtemp " + t + ": " + std::strerror(errno));
    if (open) ::chmod(t.c_str(), 0755);
    FPath = t;
}

TempFolder::~TempFolder()
{
    // A test may have taken the permissions away from a folder inside.
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(FPath, ec))
        if (e.is_directory(ec)) ::chmod(e.path().c_str(), 0755);
    fs::remove_all(FPath, ec);
}
