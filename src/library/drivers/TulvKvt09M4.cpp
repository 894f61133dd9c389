#include "TulvKvt09M4.h"

float TulvKvt09M4::ClbReadG(std::uint8_t ch)
{
    ReadRamExt(FBlock, FlowAddr[AnyChannel(ch)]);
    return LiveValue();
}

void TulvKvt09M4::ResetK()
{
    WriteS(1, 1);
    WriteS(2, 1);
    WriteS(17, 1);
    WriteS(18, 1);
}
