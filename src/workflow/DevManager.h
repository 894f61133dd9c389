// The slot table and its configuration file.
//
// Two slots, slot 1 first. A configuration file (".clb") is 116 bytes: the
// magic CA 00 00 CF, then the two 56-byte slot images.
#pragma once

#include "CoefficientSet.h"
#include "DeviceSlot.h"
#include "SlotDrivers.h"

#include <array>
#include <cstdint>
#include <string>

class DevManager {
public:
    static constexpr std::array<std::uint8_t, 4> ClbMagic = {0xCA, 0x00, 0x00, 0xCF};
    static constexpr std::size_t ClbFileSize = 4 + 2 * DeviceSlot::Size;
    // The tool's version and the signature built from it.
    static constexpr const char* Version = "1.32";

    enum class LoadResult { Loaded, WrongMagic, WrongSize, Unreadable };

    DevManager() { ResetSlots(); }

    // Slot 1 or 2.
    DeviceSlot& Slot(int n) { return Slots.at(static_cast<std::size_t>(n - 1)); }
    const DeviceSlot& Slot(int n) const { return Slots.at(static_cast<std::size_t>(n - 1)); }

    // Empties both slots: TypeCode 0, SerialText "-", Channel 0, ReadDone
    // cleared; the other bytes stay.
    void ResetSlots();

    // A single configured meter always sits in slot 1: when slot 1 is empty,
    // slot 2's record moves there and slot 2's type code becomes 0.
    void CompactSlots();

    // Reads a configuration file into the slot table. Only a file of exactly
    // 116 bytes with the magic is taken; anything else leaves the slot table
    // unchanged. After a load both serial texts are "-" and ReadDone is cleared.
    // error names the file for WrongSize and Unreadable.
    LoadResult LoadSlotFile(const std::string& path, std::string& error);

    // Writes the magic and both slot images, atomically. False with a message
    // naming the file.
    bool SaveSlotFile(const std::string& path, std::string& error) const;

    // "C" and the first, third and fourth characters of the version: "C132".
    static std::string BuildSignature();

    // One fresh driver per configured slot, configured for its slot (see
    // ConfigureSlotDriver); empty slots and unknown codes get none.
    void CreateDrivers(TulvPort& port, const TimeoutProfile& profile);
    // Destroys both drivers.
    void FreeDrivers();
    SlotDriver& Driver(int n) { return Drivers.at(static_cast<std::size_t>(n - 1)); }
    std::array<SlotDriver, 2> Drivers;

    CoefficientSet& Coefficients(int n) { return Sets.at(static_cast<std::size_t>(n - 1)); }
    const CoefficientSet& Coefficients(int n) const { return Sets.at(static_cast<std::size_t>(n - 1)); }

    std::array<DeviceSlot, 2> Slots;
    std::array<CoefficientSet, 2> Sets;
};
