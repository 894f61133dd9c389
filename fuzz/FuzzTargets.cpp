#include "FuzzSupport.h"

const std::array<FuzzTarget, 9> FuzzTargets = {{
    {"frame6x", &FuzzFrame6x},
    {"relay", &FuzzRelay},
    {"m4", &FuzzM4},
    {"modbus", &FuzzModBus},
    {"clb", &FuzzClbFile},
    {"settings", &FuzzSettings},
    {"txt", &FuzzCoefficientTxt},
    {"kvt", &FuzzCoefficientKvt},
    {"tpr", &FuzzCoefficientTpr},
}};
