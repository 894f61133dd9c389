// A frame decoded for a person: what each part of it means. Each protocol's
// frame helpers fill one (Frame6x::Decode, FrameM4::Decode, ...); the traffic
// log writes it. Fields the frame does not carry stay empty (-1 for numbers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TulvFrameFields {
    std::string Address; // network address, relay serial number or slave address
    std::string Command; // the command bytes as hex ("0F 01"), M4 letter, ModBus function
    std::string Name;    // what the command does
    std::string Area;    // memory area
    long long Cell = -1; // first cell (byte address or register number)
    int Count = -1;      // bytes or registers asked for
    std::vector<std::uint8_t> Data;
    int Checksum = -1; // 1 good, 0 bad, -1 the frame is incomplete
    std::string Note;  // anything else worth saying (exception code, text)
};
