// The fuzz targets: one entry function per receiver and per file loader.
//
// Each entry takes one input and checks the target's invariants after the call;
// a broken invariant goes to FuzzFail. The same functions run under libFuzzer
// (FuzzMain.cpp, one executable per target) and in the corpus replay test,
// which feeds them every file of fuzz/corpus/<target>/.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Receivers, fed through the scripted port as the meter's reply.
int FuzzFrame6x(const std::uint8_t* data, std::size_t size);
int FuzzRelay(const std::uint8_t* data, std::size_t size);
int FuzzM4(const std::uint8_t* data, std::size_t size);
int FuzzModBus(const std::uint8_t* data, std::size_t size);
// Loaders.
int FuzzClbFile(const std::uint8_t* data, std::size_t size);
int FuzzSettings(const std::uint8_t* data, std::size_t size);
int FuzzCoefficientTxt(const std::uint8_t* data, std::size_t size);
int FuzzCoefficientKvt(const std::uint8_t* data, std::size_t size);
int FuzzCoefficientTpr(const std::uint8_t* data, std::size_t size);

struct FuzzTarget {
    const char* Name; // the folder of its corpus and the suffix of its executable
    int (*Entry)(const std::uint8_t*, std::size_t);
};
// Every target.
extern const std::array<FuzzTarget, 9> FuzzTargets;

// A broken invariant. By default the message goes to stderr and the process
// aborts, so that libFuzzer keeps the input; a handler set here replaces that
// (the replay test throws instead). The handler must not return.
using FuzzFailHandler = void (*)(const std::string& message);
void SetFuzzFailHandler(FuzzFailHandler handler);
[[noreturn]] void FuzzFail(const char* file, int line, const std::string& what);

#define FUZZ_CHECK(cond, what)                                                                                        \
    do {                                                                                                               \
        if (!(cond)) FuzzFail(__FILE__, __LINE__, std::string(#cond) + " -- " + (what));                               \
    } while (0)

// Takes bytes from the front of an input; 0 once it is used up.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : P(data), N(size) {}
    std::uint8_t Take()
    {
        if (N == 0) return 0;
        --N;
        return *P++;
    }
    std::vector<std::uint8_t> Rest() const { return std::vector<std::uint8_t>(P, P + N); }
    std::string_view RestText() const { return std::string_view(reinterpret_cast<const char*>(P), N); }

private:
    const std::uint8_t* P;
    std::size_t N;
};

// Splits a reply script at split: the first attempt gets the bytes before it,
// the second those from it on (silence when there are none).
void SplitReplies(const std::vector<std::uint8_t>& bytes, std::size_t split, std::vector<std::uint8_t>& first,
                  std::vector<std::uint8_t>& second);

// The caller's buffer with guard bytes on both sides. Its bytes start as a
// pattern, so that a write into it, or past it, shows.
class GuardedBuffer {
public:
    static constexpr std::size_t Guard = 64;
    explicit GuardedBuffer(std::size_t size);
    std::span<std::uint8_t> Data() { return std::span<std::uint8_t>(Bytes.data() + Guard, Size); }
    std::uint8_t* Ptr() { return Bytes.data() + Guard; }
    // The pattern the buffer started with, at offset i.
    static std::uint8_t Pattern(std::size_t i) { return static_cast<std::uint8_t>(0x3C + 7 * i); }
    bool GuardsIntact() const;
    // True when bytes from..Size-1 still hold the pattern.
    bool UntouchedFrom(std::size_t from) const;
    bool Untouched() const { return UntouchedFrom(0); }
    // True when the first n bytes equal src.
    bool Holds(const std::uint8_t* src, std::size_t n) const;

private:
    std::size_t Size;
    std::vector<std::uint8_t> Bytes;
};

// A file of this process's scratch folder (under /dev/shm where it can be
// made, so that file targets stay fast) written with bytes; returns its path.
// The folder is removed when the process ends normally.
std::string FuzzScratchFile(const std::string& name, std::string_view bytes);
// Reads a whole file; empty when it cannot be read.
std::string FuzzReadFile(const std::string& path);
