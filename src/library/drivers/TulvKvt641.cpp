#include "TulvKvt641.h"

float TulvKvt641::ClbReadGmax(float version)
{
    bool mSeries = false;
    if (version >= 4000.0f) {
        std::string modification;
        GetModification(modification);
        mSeries = modification == "M"; // empty after a failed question
    }
    std::uint8_t code[1];
    if (!ReadRtc2kExactly(SizeCodeCell, code)) return 0.0f;
    if (code[0] >= 8) return 0.0f;
    return mSeries ? GmaxMSeries[code[0]] : GmaxStandard[code[0]];
}
