#include "TulvDln0807.h"

float TulvDln0807::ClbReadG(std::uint8_t ch)
{
    ReadRamInt(FBlock, FlowAddr[AnyChannel(ch)]);
    return LiveValue();
}

float TulvDln0807::ClbReadGFlow(std::uint8_t ch)
{
    ReadRamInt(FBlock, SecondFlowAddr[AnyChannel(ch)]);
    return LiveValue();
}

void TulvDln0807::ResetK()
{
    for (int c = 0; c < 2; ++c) {
        WriteS(5, 0);
        ModifyValue(FMap.k[0][c], 0.0f);
        ModifyValue(FMap.k[1][c], 1.0f);
        for (int p = 0; p < 8; ++p) {
            ModifyValue(FMap.k[2 + p][c], FactoryPoints[p]);
            ModifyValue(FMap.obr[2 + p][c], FactoryPoints[p]);
        }
    }
}
