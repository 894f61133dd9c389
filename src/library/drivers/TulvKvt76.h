// Driver of the КВТ-76 heat meter (type code 5): the КВТ-66's memory map and
// checksum-guarded block (see TulvKvt66.h), and scrambled writes besides: the
// meter stores the value it decodes, and the driver then rewrites the block's
// checksum (2 bytes at 0x0670) from the block read back. The scrambled writes do
// not write the stamp.
#pragma once

#include "TulvKvt66.h"

inline constexpr Meter6xMap Kvt76Map = [] {
    Meter6xMap map = Kvt66Map;
    map.scrambledWrites = true;
    return map;
}();

class TulvKvt76 : public Tulv6xGuardedMeterOf<Kvt76Map> {};
