// Files in tests: a whole file read or written in one call, and a temporary
// folder that is removed with everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The bytes of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// Writes the bytes as the whole file (made or replaced); false when they could not be written.
bool WriteFile(const std::filesystem::path& path, const std::string& bytes);
// The names in a folder, sorted.
std::vector<std::string> FileNames(const std::filesystem::path& folder);

class TempFolder {
public:
    // A fresh folder named prefix plus six random characters, under the system's
    // temporary folder, or under parent when one is given. open: every user may
    // enter it (for a child that drops its privileges).
    explicit TempFolder(const std::string& prefix = "clb-test-", const std::filesystem::path& parent = {},
                        bool open = false);
    // Removes the folder and what it holds, folders without permissions included.
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::string Str() const { return FPath.string(); }
    // A name in the folder, as text.
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }
    std::vector<std::string> Names() const { return FileNames(FPath); }

private:
    std::filesystem::path FPath;
};
