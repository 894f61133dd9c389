#include "TulvDln0807s.h"

void TulvDln0807s::GetDeviceNumber(std::string& S)
{
    // The number is read only from a meter that says it is one of ours.
    std::string id;
    GetDevID(id);
    S.clear();
    if (LastError() != ErrOk) return;
    if (id.find(IdentityMark) == std::string::npos) return;
    ReadNumber(S);
}
