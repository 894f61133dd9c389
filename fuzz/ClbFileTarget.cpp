// The configuration file loader. Input: the bytes of a ".clb" file.
//
// A file is taken only when it has exactly 116 bytes and the magic; then the
// slots hold its images (serial texts "-", read-outs cleared). Anything else
// leaves the slot table and the read-out flags as they were, with a message
// naming the file where the result says so. A loaded table then goes through
// what the tool does next with it: compaction, the texts, the drivers.
#include "FuzzSupport.h"

#include "CoefficientFiles.h"
#include "DevManager.h"
#include "ScriptedPort.h"

#include <algorithm>

namespace {

// A table that differs from the empty one everywhere the loader writes.
void Prepare(DevManager& m)
{
    m.Slot(1).SetTypeCode(3);
    m.Slot(1).SetNetAddress(7);
    m.Slot(1).SetSerialText("12345");
    m.Slot(1).SetChannel(1);
    m.Slot(2).SetTypeCode(14);
    m.Slot(2).SetRelayAddress(44412345);
    m.Slot(2).SetSerialText("44412345");
    m.Slot(2).SetChannel(2);
    m.Coefficients(1).ReadDone = true;
    m.Coefficients(2).ReadDone = true;
}

} // namespace

int FuzzClbFile(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = FuzzScratchFile("slots.clb", bytes);

    DevManager m;
    Prepare(m);
    const DeviceSlot before1 = m.Slot(1), before2 = m.Slot(2);
    std::string error;
    const DevManager::LoadResult result = m.LoadSlotFile(path, error);

    const bool magic = size >= 4 && std::equal(DevManager::ClbMagic.begin(), DevManager::ClbMagic.end(), data);
    const bool valid = magic && size == DevManager::ClbFileSize;
    FUZZ_CHECK((result == DevManager::LoadResult::Loaded) == valid, "taken or refused against the format");
    FUZZ_CHECK(result != DevManager::LoadResult::Unreadable, "a readable file reported unreadable");
    if (result != DevManager::LoadResult::Loaded) {
        FUZZ_CHECK(m.Slot(1).Bytes() == before1.Bytes() && m.Slot(2).Bytes() == before2.Bytes(),
                   "a refused file changed the slot table");
        FUZZ_CHECK(m.Coefficients(1).ReadDone && m.Coefficients(2).ReadDone, "a refused file cleared the read-outs");
        if (result == DevManager::LoadResult::WrongSize)
            FUZZ_CHECK(error.find(path) != std::string::npos, "the message does not name the file");
        return 0;
    }

    for (int n = 1; n <= 2; ++n) {
        const DeviceSlot& s = m.Slot(n);
        const std::uint8_t* image = data + 4 + (n - 1) * DeviceSlot::Size;
        // Everything but the serial text's length and first character is the file's.
        for (std::size_t i = 0; i < DeviceSlot::Size; ++i)
            if (i != 10 && i != 11) FUZZ_CHECK(s.Bytes()[i] == image[i], "slot byte " + std::to_string(i));
        FUZZ_CHECK(s.SerialText() == "-", "the serial text after a load");
        FUZZ_CHECK(!m.Coefficients(n).ReadDone, "a read-out flag survived a load");
    }

    // What the tool does with a loaded table.
    m.CompactSlots();
    ScriptedPort port;
    TimeoutProfile profile;
    m.CreateDrivers(port, profile);
    for (int n = 1; n <= 2; ++n) {
        const DeviceSlot& s = m.Slot(n);
        FUZZ_CHECK(HasDriver(m.Driver(n)) == (s.TypeCode() >= 1 && s.TypeCode() <= 16),
                   "a driver for type code " + std::to_string(s.TypeCode()));
        (void)s.SerialText();
        (void)s.SoftwareVersion();
        (void)DefaultCoefficientFileName("/saved", s, true);
        (void)DefaultCoefficientFileName("/saved", s, false);
    }
    m.FreeDrivers();
    return 0;
}
