// The ДЛН-08.03С flow meter (model "dln0803s"): one flow channel, numbers most significant byte first.
//
// My parameter memory (rtc2k):
//   0x0000  factory number, 8 characters
//   0x0008  Gmax index: the position of my Gmax in the list of my modification, 1 byte
//   0x0009  size code: the nominal size (DN, mm) that goes with that position, 1 byte
//   0x01F0  calibration stamp, 16 bytes
//   K0 0x0040, Ku 0x0044, K points from 0x0048, Obr points from 0x0068
// RAM: live flow value 0x00B4, raw measurement 0x00B0.
// I take scrambled writes.
//
// I come in two modifications, and my identity text says which: "DLN0803-C" (1) and "DLN0803-CM" (2).
// Each has its own Gmax list, which is what my Gmax index points into:
//   modification 1: 6 16 30 60 160 300 600 (seven sizes), size codes 15 25 32 50 80 100 150
//   modification 2: 6.3 16 25 40 63 160 250 630, size codes 15 25 32 40 50 80 100 150
// My software version (00 01) is a letter and a number: "V0.70".
//
// Scenario keys of my own (instead of "gmax" as a number in memory):
//   "modification"  1 or 2 (default 1): my Gmax list and my default identity text
//   "gmax"          a value of my list: sets the index and the size code that go with it
//   "gmax_index"    0..255, stored as it is (an index beyond my list too); the size code follows
//                   it while it lies within my list
//   "size_code"     0..255, stored as it is
// Default: Gmax 60 of modification 1 (index 3, size code 50).
//
// The dump adds "modification", "gmax_index", "size_code" and "gmax" (the entry of my list at the
// index, null beyond its end).
#pragma once

#include "HeatMeter.h"

#include <memory>
#include <span>

namespace metersim {

class Dln0803s : public HeatMeter6x {
public:
    Dln0803s();
    static std::unique_ptr<Meter> Create() { return std::make_unique<Dln0803s>(); }
    void Load(json& entry, const std::string& where) override;
    json Dump() const override;

protected:
    double OwnGmax(int channel) const override;

private:
    std::span<const float> GmaxList() const;
    std::span<const std::uint8_t> SizeCodes() const;
    void PutIndex(std::uint8_t index);

    int modification_ = 1;
};

} // namespace metersim
