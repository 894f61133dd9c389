// The libFuzzer entry of one target; CLB_FUZZ_ENTRY names its function.
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return CLB_FUZZ_ENTRY(data, size);
}
