// The calibration cells of a meter: per table (K and Obr) the cell of each
// coefficient index 0..9 for channel 1 and 2, as the meter's memory map gives them.
#pragma once

#include <array>
#include <cstdint>

// The cells of one channel: K0, Ku, K point 1 and Obr point 1 (the points follow
// their first one a step apart: 4 bytes on most meters, one parameter on some).
struct ChannelCells {
    std::uint16_t k0, ku, kPoint1, obrPoint1;
};

// Cell of coefficient i (row 0 K0, 1 Ku, 2..9 points 1..8) for channel 1 and 2
// (columns) of one table. Rows 0 and 1 are the same in the K and Obr tables.
using CellTable = std::array<std::array<std::uint16_t, 2>, 10>;

enum class CalTable { K, Obr };

// The K or Obr table of a meter whose channels keep their cells at c1 and c2
// (the same for a meter whose channels share them, or that has one channel).
constexpr CellTable TableOf(CalTable t, ChannelCells c1, ChannelCells c2, int step = 4)
{
    CellTable cells{};
    const ChannelCells ch[2] = {c1, c2};
    for (int c = 0; c < 2; ++c) {
        cells[0][c] = ch[c].k0;
        cells[1][c] = ch[c].ku;
        const std::uint16_t first = t == CalTable::K ? ch[c].kPoint1 : ch[c].obrPoint1;
        for (int p = 0; p < 8; ++p)
            cells[2 + p][c] = static_cast<std::uint16_t>(first + step * p);
    }
    return cells;
}

// The cell of coefficient i of table t (the K or the Obr table) for channel ch:
// with checkChannel, ch must be 1 or 2 and picks the column; without, the meter
// does not look at ch and has one column. False, cell untouched, for an index
// above 9 or a checked channel outside 1..2.
constexpr bool LookUpCell(const CellTable& k, const CellTable& obr, CalTable t, bool checkChannel, std::uint8_t ch,
                          std::uint8_t i, std::uint16_t& cell)
{
    if (i > 9) return false;
    if (checkChannel && (ch < 1 || ch > 2)) return false;
    cell = (t == CalTable::K ? k : obr)[i][checkChannel ? ch - 1 : 0];
    return true;
}
