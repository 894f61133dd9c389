#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace {

FuzzFailHandler gHandler = nullptr;

// The scratch folder of this process, made at first use and removed at exit.
class ScratchFolder {
public:
    const std::string& Path()
    {
        if (!FPath.empty()) return FPath;
        const char* tmp = std::getenv("TMPDIR");
        const char* const bases[] = {"/dev/shm", tmp, "/tmp"};
        for (const char* base : bases) {
            if (base == nullptr || *base == '\0') continue;
            std::string templ = std::string(base) + "/clb-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
            if (::mkdtemp(templ.data()) != nullptr) {
                FPath = templ;
                return FPath;
            }
        }
        FuzzFail(__FILE__, __LINE__, "no scratch folder could be made");
    }
    ~ScratchFolder()
    {
        if (FPath.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }

private:
    std::string FPath;
};

ScratchFolder& Scratch()
{
    static ScratchFolder folder;
    return folder;
}

} // namespace

void SetFuzzFailHandler(FuzzFailHandler handler)
{
    gHandler = handler;
}

void FuzzFail(const char* file, int line, const std::string& what)
{
    std::ostringstream s;
    s << file << ":" << line << ": invariant broken: " << what;
    if (gHandler != nullptr) gHandler(s.str());
    std::fprintf(stderr, "%s\n", s.str().c_str());
    std::fflush(stderr);
    std::abort();
}

void SplitReplies(const std::vector<std::uint8_t>& bytes, std::size_t split, std::vector<std::uint8_t>& first,
                  std::vector<std::uint8_t>& second)
{
    const std::size_t at = split < bytes.size() ? split : bytes.size();
    first.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    second.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
}

GuardedBuffer::GuardedBuffer(std::size_t size) : Size(size), Bytes(size + 2 * Guard)
{
    for (std::size_t i = 0; i < Bytes.size(); ++i) Bytes[i] = Pattern(i + 1000); // guards differ from the buffer
    for (std::size_t i = 0; i < Size; ++i) Bytes[Guard + i] = Pattern(i);
}

bool GuardedBuffer::GuardsIntact() const
{
    for (std::size_t i = 0; i < Guard; ++i) {
        if (Bytes[i] != Pattern(i + 1000)) return false;
        const std::size_t j = Guard + Size + i;
        if (Bytes[j] != Pattern(j + 1000)) return false;
    }
    return true;
}

bool GuardedBuffer::UntouchedFrom(std::size_t from) const
{
    for (std::size_t i = from; i < Size; ++i)
        if (Bytes[Guard + i] != Pattern(i)) return false;
    return true;
}

bool GuardedBuffer::Holds(const std::uint8_t* src, std::size_t n) const
{
    if (n > Size) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (Bytes[Guard + i] != src[i]) return false;
    return true;
}

std::string FuzzScratchFile(const std::string& name, std::string_view bytes)
{
    const std::string path = Scratch().Path() + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "cannot write the scratch file " + path);
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    FUZZ_CHECK(written && closed, "cannot write the scratch file " + path);
    return path;
}

std::string FuzzReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
