// The coefficient file readers (TXT, KVT, TPR) over bytes. Input: the slot's
// type code (the first byte, modulo 17: 0 is an empty slot), then the file.
//
// A refused file leaves the set exactly as it was and says why, naming the
// file. A read one leaves only finite values (they go into a meter's floats).
// A KVT file also survives an update in place: writing the values read back
// into the same file and reading it again gives the same values.
#include "FuzzSupport.h"

#include "CoefficientFiles.h"

#include <cmath>
#include <cstring>

namespace {

using Parser = bool (*)(std::string_view, const std::string&, const DeviceSlot&, CoefficientSet&, std::string&);

// A set that differs from the defaults in every value.
CoefficientSet Prepared()
{
    CoefficientSet set;
    for (int i = 0; i < 10; ++i) {
        set.K[i] = 0.25f + static_cast<float>(i);
        set.Obr[i] = -0.5f - static_cast<float>(i);
    }
    set.Gmax = 12.5f;
    set.ReadDone = true;
    set.PollEnabled = true;
    return set;
}

bool SameBits(const CoefficientSet& a, const CoefficientSet& b)
{
    return std::memcmp(a.K.data(), b.K.data(), sizeof a.K) == 0 &&
           std::memcmp(a.Obr.data(), b.Obr.data(), sizeof a.Obr) == 0 &&
           std::memcmp(&a.Gmax, &b.Gmax, sizeof a.Gmax) == 0 && a.ReadDone == b.ReadDone &&
           a.PollEnabled.load() == b.PollEnabled.load();
}

bool SameValues(const CoefficientSet& a, const CoefficientSet& b)
{
    return a.K == b.K && a.Obr == b.Obr && a.Gmax == b.Gmax;
}

bool AllFinite(const CoefficientSet& s)
{
    if (!std::isfinite(s.Gmax)) return false;
    for (int i = 0; i < 10; ++i)
        if (!std::isfinite(s.K[i]) || !std::isfinite(s.Obr[i])) return false;
    return true;
}

// Runs one reader; returns whether it read the file, with set holding the result.
bool ReadOne(Parser parse, const char* name, const std::uint8_t* data, std::size_t size, DeviceSlot& slot,
             CoefficientSet& set)
{
    FuzzInput in(data, size);
    slot.SetTypeCode(in.Take() % 17);
    slot.SetSerialText("12345678");
    slot.SetChannel(1);
    const std::string_view bytes = in.RestText();

    set = Prepared();
    const CoefficientSet before = set;
    std::string error;
    const bool ok = parse(bytes, name, slot, set, error);
    if (!ok) {
        FUZZ_CHECK(SameBits(set, before), "a refused file changed the set");
        FUZZ_CHECK(!error.empty(), "a refused file without a message");
        if (slot.TypeCode() != 0) FUZZ_CHECK(error.find(name) != std::string::npos, "the message does not name the file");
        return false;
    }
    FUZZ_CHECK(slot.TypeCode() != 0, "a file read into an empty slot");
    FUZZ_CHECK(error.empty(), "a message for a file that was read: " + error);
    FUZZ_CHECK(AllFinite(set), "a value that is not finite was read");
    FUZZ_CHECK(set.ReadDone && set.PollEnabled.load(), "a read file changed the flags");
    return true;
}

} // namespace

int FuzzCoefficientTxt(const std::uint8_t* data, std::size_t size)
{
    DeviceSlot slot;
    CoefficientSet set;
    ReadOne(&ParseCoefficientTxt, "coefficients.txt", data, size, slot, set);
    return 0;
}

int FuzzCoefficientTpr(const std::uint8_t* data, std::size_t size)
{
    DeviceSlot slot;
    CoefficientSet set;
    ReadOne(&ParseCoefficientTpr, "coefficients.tpr", data, size, slot, set);
    return 0;
}

int FuzzCoefficientKvt(const std::uint8_t* data, std::size_t size)
{
    DeviceSlot slot;
    CoefficientSet set;
    if (!ReadOne(&ParseCoefficientKvt, "coefficients.kvt", data, size, slot, set)) return 0;

    // Update the same file with what was read, and read it again.
    const std::string_view original(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string updated = CoefficientKvtBytes(slot, set, original);
    CoefficientSet again = Prepared();
    std::string error;
    FUZZ_CHECK(ParseCoefficientKvt(updated, "coefficients.kvt", slot, again, error),
               "the updated file is refused: " + error);
    FUZZ_CHECK(SameValues(again, set), "the updated file gives other values");
    return 0;
}
