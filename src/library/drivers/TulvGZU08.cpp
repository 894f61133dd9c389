#include "TulvGZU08.h"

#include <algorithm>

bool TulvGZU08::ClbReadSFRs(std::span<std::uint8_t, 12> Buf)
{
    std::uint8_t block[RawBlockSize];
    if (!ReadRamExactly(RawBlockAddr, block)) return false;
    std::copy_n(block, Buf.size(), Buf.begin());
    return true;
}
