#include "TulvKvt64.h"

float TulvKvt64::ClbReadG(std::uint8_t ch)
{
    if (ch < 1 || ch > 2) return 0.0f;
    float values[4];
    GetSfrTek(values);
    return LastError() == ErrOk ? values[ch - 1] : 0.0f;
}
