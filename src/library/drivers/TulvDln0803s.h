// Driver of the ДЛН-08.03С flow meter (type code 8): one flow channel, values
// big-endian (most significant byte first).
//
// Rtc2k cells (4-byte singles): K0 0x0040, Ku 0x0044, K points 0x0048..,
// Obr points 0x0068..; Gmax index at 0x0008 and size code at 0x0009 (1 byte
// each); factory number at 0x0000 (8 characters); stamp at 0x01F0 (16 bytes).
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
//
// The meter comes in two modifications, told apart by the identity text:
// "DLN0803-C" (1) and "DLN0803-CM" (2). Each has its own list of Gmax values;
// the Gmax index is the position in that list, and the size code is the one
// that goes with that position.
#pragma once

#include "Tulv6xMeter.h"

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr ChannelCells Dln0803sCells{0x0040, 0x0044, 0x0048, 0x0068};

inline constexpr Meter6xMap Dln0803sMap{
    .order = ByteOrder::BigEndian,
    .channels = ChannelArg::Ignored,
    .k = TableOf(CalTable::K, Dln0803sCells, Dln0803sCells),
    .obr = TableOf(CalTable::Obr, Dln0803sCells, Dln0803sCells),
    .scrambledWrites = true,
    .live = LiveArg::None,
    .flow = {0x00B4},
    .raw = {0x00B0},
    .number = NumberForm::CfgCharacters,
    .numberCell = 0x0000,
    .stamp = StampWrite::Cfg,
    .stampCell = 0x01F0,
    .reset = ResetForm::Plain,
    .resetNew = true,
};

class TulvDln0803s : public Tulv6xMeterOf<Dln0803sMap> {
public:
    // Gmax by index: 7 entries for modification 1, 8 for modification 2.
    static constexpr float GmaxModification1[7] = {6.0f, 16.0f, 30.0f, 60.0f, 160.0f, 300.0f, 600.0f};
    static constexpr float GmaxModification2[8] = {6.3f, 16.0f, 25.0f, 40.0f, 63.0f, 160.0f, 250.0f, 630.0f};
    // The size code (the byte at 0x0009) that goes with each Gmax index.
    static constexpr std::uint8_t SizeCodeModification1[7] = {15, 25, 32, 50, 80, 100, 150};
    static constexpr std::uint8_t SizeCodeModification2[8] = {15, 25, 32, 40, 50, 80, 100, 150};

    // The Gmax index (the byte for 0x0008) of gmax in the list of the
    // modification: the position of the first entry exactly equal to gmax; 0 when
    // no entry is equal or the modification is neither 1 nor 2.
    static constexpr std::uint8_t GmaxIndex(std::uint8_t modification, float gmax)
    {
        if (modification == 1) {
            for (std::uint8_t k = 0; k < 7; ++k)
                if (GmaxModification1[k] == gmax) return k;
        } else if (modification == 2) {
            for (std::uint8_t k = 0; k < 8; ++k)
                if (GmaxModification2[k] == gmax) return k;
        }
        return 0;
    }
    // The size code (the byte for 0x0009) of a Gmax index: the entry of the
    // modification's list; 15 when the index lies beyond the list; 0 when the
    // modification is neither 1 nor 2.
    static constexpr std::uint8_t GmaxSizeCode(std::uint8_t modification, std::uint8_t index)
    {
        if (modification == 1) return index < 7 ? SizeCodeModification1[index] : 15;
        if (modification == 2) return index < 8 ? SizeCodeModification2[index] : 15;
        return 0;
    }

    // --- Identification ------------------------------------------------------
    // The software version as a number: the version text without its first
    // character, plus 0.0001. 0 when the question fails (LastError 1, 2, 4, 5,
    // or 6 with the port closed). A text that is not a number throws
    // std::invalid_argument.
    float GetPO_Version();
    // The identity text; empty when the question fails (LastError not 0).
    void GetDevice_ID(std::string& S);
    // 1 for the identity "DLN0803-C", 2 for "DLN0803-CM", 0 for any other
    // identity or when the identity or the version question fails. Asks both
    // questions; the version only has to be answered, its text is not judged.
    std::uint8_t GetDevice_Modification();

    // Gmax from the Gmax index at 0x0008 in the list of the modification
    // (GetDevice_Modification, asked first): 0 when the index cannot be read,
    // lies beyond the list, or the modification is neither 1 nor 2.
    float ClbReadGmax();
};
