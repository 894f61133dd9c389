#include "DevManager.h"

#include "AtomicFile.h"

#include <algorithm>

void DevManager::ResetSlots()
{
    for (auto& s : Slots) {
        s.SetTypeCode(0);
        s.SetSerialText("-");
        s.SetChannel(0);
    }
    for (auto& c : Sets) c.ReadDone = false;
}

void DevManager::CompactSlots()
{
    if (Slots[0].TypeCode() != 0) return;
    Slots[0] = Slots[1];
    Slots[1].SetTypeCode(0);
}

DevManager::LoadResult DevManager::LoadSlotFile(const std::string& path, std::string& error)
{
    std::string bytes;
    bool tooLarge = false;
    if (!ReadWholeFile(path, bytes, error, ClbFileSize, &tooLarge)) {
        if (!tooLarge) return LoadResult::Unreadable;
        error = "Неверный размер файла конфигурации " + path;
        return LoadResult::WrongSize;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (bytes.size() >= ClbMagic.size() && !std::equal(ClbMagic.begin(), ClbMagic.end(), data))
        return LoadResult::WrongMagic;
    if (bytes.size() != ClbFileSize) {
        error = "Неверный размер файла конфигурации " + path;
        return LoadResult::WrongSize;
    }
    for (std::size_t n = 0; n < 2; ++n) {
        DeviceSlot::Image image;
        std::copy_n(data + 4 + n * DeviceSlot::Size, DeviceSlot::Size, image.begin());
        Slots[n] = DeviceSlot(image);
        Slots[n].SetSerialText("-");
    }
    for (auto& c : Sets) c.ReadDone = false;
    return LoadResult::Loaded;
}

bool DevManager::SaveSlotFile(const std::string& path, std::string& error) const
{
    std::string bytes(ClbMagic.begin(), ClbMagic.end());
    for (const auto& s : Slots) bytes.append(s.Bytes().begin(), s.Bytes().end());
    return WriteFileAtomic(path, bytes, error);
}

std::string DevManager::BuildSignature()
{
    const std::string v = Version;
    return std::string("C") + v[0] + v[2] + v[3];
}

void DevManager::CreateDrivers(TulvPort& port, const TimeoutProfile& profile)
{
    const std::string signature = BuildSignature();
    for (std::size_t n = 0; n < 2; ++n) {
        Drivers[n] = MakeSlotDriver(Slots[n].TypeCode());
        ConfigureSlotDriver(Drivers[n], port, Slots[n], profile, signature);
    }
}

void DevManager::FreeDrivers()
{
    for (auto& d : Drivers) d = SlotDriver{};
}
