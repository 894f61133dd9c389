// Replays every file of every fuzz/corpus/<target>/ through the target's entry
// function: the seeds, and each input that once found a fault (kept there once
// the fault was fixed). A broken invariant fails the file's replay.
#include "FuzzSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

// Rows print as the target's name.
void PrintTo(const FuzzTarget& t, std::ostream* os)
{
    *os << t.Name;
}

namespace {

namespace fs = std::filesystem;

struct InvariantBroken : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Throw(const std::string& message)
{
    throw InvariantBroken(message);
}

class CorpusReplay : public ::testing::TestWithParam<FuzzTarget> {
protected:
    void SetUp() override { SetFuzzFailHandler(&Throw); }
    void TearDown() override { SetFuzzFailHandler(nullptr); }
};

TEST_P(CorpusReplay, EveryFileKeepsTheInvariants)
{
    const fs::path folder = fs::path(CLB_FUZZ_CORPUS_DIR) / GetParam().Name;
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty()) << "no seeds in " << folder;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        ASSERT_TRUE(in) << f;
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        try {
            GetParam().Entry(bytes.data(), bytes.size());
        } catch (const InvariantBroken& e) {
            ADD_FAILURE() << f.filename() << ": " << e.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, ::testing::ValuesIn(FuzzTargets),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
