#include "TulvDln0805.h"

namespace {

// Parameter queries and setting commands (P1, P2).
constexpr std::uint8_t FlowQuery = 4;
constexpr std::uint8_t AdcQuery = 2;
constexpr std::uint8_t WriteEnable = 5;
constexpr std::uint8_t RestoreFactory = 99;

// The reply code of a parameter query ("P" + 0x80).
constexpr std::uint8_t QueryReply = 'P' + FrameM4::ReplyFlag;

} // namespace

bool TulvDln0805::Query(std::uint8_t p1, std::uint8_t p2, Block& data)
{
    data.fill(0);
    ParameterDevice(data, p1, p2);
    // Another reply code: not the answer to this query, and data still holds the zeros sent.
    SetLastError(ReplyCodeOutcome(LastError(), FReply[2], QueryReply));
    return LastError() == ErrOk;
}

float TulvDln0805::ClbReadG()
{
    Block data{};
    return Query(FlowQuery, 0, data) ? M4FloatAt(data, 0) : 0.0f;
}

float TulvDln0805::ClbReadADCCur(std::uint8_t, float& Second)
{
    Block data{};
    if (!Query(AdcQuery, 0, data)) return 0.0f;
    Second = M4FloatAt(data, 3);
    return M4FloatAt(data, 0);
}

void TulvDln0805::ResetK()
{
    Block data{};
    SetDevice(data, WriteEnable, 0);
    data.fill(0); // the reply may have landed in it
    SetDevice(data, RestoreFactory, 0);
}
