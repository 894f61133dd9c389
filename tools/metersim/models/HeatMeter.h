// What the heat meters of the 6x family have in common, seen from inside the meter.
//
// A heat meter keeps, per flow channel, two tables of ten 4-byte IEEE singles in its parameter
// memory (rtc2k): the measured-flow table K and the reference-flow table Obr. Index 0 (K0, the zero
// coefficient) and 1 (Ku, the gain) are one pair of cells that both tables share; indices 2..9 are
// the eight calibration points, each table in eight consecutive cells. Out of the factory a meter
// holds K0 0, Ku 1 and the points 0.001 0.0025 0.005 0.01 0.02 0.04 0.1 0.5 in both tables.
//
// Each type says where its cells are and in which byte order it keeps numbers (the older types most
// significant byte first, the newer ones least significant first), where its factory number, Gmax,
// live values and calibration stamp sit, and whether it takes scrambled coefficient writes.
//
// A scrambled write is a write of 9 data bytes that starts at one of the meter's coefficient cells:
// 8 bytes of a scrambled block in the meter's byte order (a big-endian meter receives the block
// reversed) and a ninth byte that the meter ignores. The meter decodes the block and keeps the plain
// single in the cell. On a type without scrambled writes a 9-byte write is a plain write of 9 bytes.
// Every other write is a plain write: the bytes are stored as they come, and the meter keeps nothing
// else consistent by itself (a checksum-guarded block stays as the writes leave it).
//
// Scenario keys of every heat meter, besides those of any 6x meter ("texts" default to the type's
// own identity and version texts; a key given replaces that default):
//   "factory_number"  an unsigned 32-bit number, or on the types that keep 8 characters a text of 8
//                     characters or {"hex": "..."} of 8 bytes
//   "gmax"            a number (one channel) or a list of two (two channels); not on types that keep
//                     a size code instead
//   "live"            {"G": ..., "SFR": ...}: the live flow value and the raw measurement, a number
//                     per channel as for "gmax"
//   "tables"          {"1": {"K": [10 numbers], "Obr": [10 numbers]}, "2": {...}}: either table or
//                     both; K and Obr must agree in their first two values (the shared cells). Types
//                     with one set of cells take "1" only.
// The scenario's "memory" patches act last, so a test can still break a cell or a checksum on purpose.
//
// On the flow stand my live flow value follows the stand (channel 1 or 2 of the live cells; a
// type with one set of calibration cells uses it for both).
//
// The dump adds "tables" (the values as the meter holds them, decoded; a cell that is not a number
// shows as null), "stamp" (the 16 bytes of the stamp cell as hex) and, on types with a guarded block,
// "block_checksum_ok".
#pragma once

#include "../Meter6x.h"
#include "FlowTables.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace metersim {

struct HeatMeterLayout {
    // One channel's calibration cells: K0, Ku, and the first of eight point cells of each table.
    struct Cells {
        std::uint16_t k0;
        std::uint16_t ku;
        std::uint16_t kPoints;
        std::uint16_t obrPoints;
    };
    // A block of table bytes guarded by a 16-bit checksum: the one's complement of the 16-bit sum of
    // the block's bytes, kept most significant byte first right after the block.
    struct GuardedBlock {
        std::uint16_t start;
        std::uint16_t length;
    };
    enum class NumberForm {
        Integer32, // 4-byte unsigned integer in the meter's byte order
        Text8      // 8 single-byte characters
    };

    bool bigEndian = true;
    std::vector<Cells> channels;  // one set of cells per channel that has cells of its own
    bool scrambledWrites = false; // takes 9-byte scrambled writes at its coefficient cells
    std::uint16_t stampCell = 0;  // 16 bytes
    NumberForm numberForm = NumberForm::Integer32;
    std::uint16_t numberCell = 0;
    std::vector<std::uint16_t> gmaxCells; // per channel; empty when the meter keeps a size code instead
    bool liveThroughSfrTek = false;       // live values answered by 0C 00 instead of RAM cells
    std::vector<std::uint16_t> liveG;     // RAM cells of the live flow value, per channel
    std::vector<std::uint16_t> liveSfr;   // RAM cells of the raw measurement, per channel
    std::optional<GuardedBlock> block;
    // How the live flow value relates to the flow the meter measures (for the flow stand).
    LiveForm liveForm = LiveForm::Flow;

    // Defaults of the type.
    json texts;              // {"id": ..., "version": ..., ...} as in a scenario
    json factoryNumber;      // as the scenario key
    std::vector<float> gmax; // per channel
};

class HeatMeter6x : public Meter6x {
public:
    Answer Handle(const p6x::Request& request) override;
    void Load(json& entry, const std::string& where) override;
    json Dump() const override;
    std::optional<StandCalibration> StandState(int channel) const override;
    void PutLiveFlow(int channel, double value) override;

protected:
    HeatMeter6x(std::string model, HeatMeterLayout layout);

    // Gmax of a channel (from 1) as my memory holds it; 0 when I keep none.
    virtual double OwnGmax(int channel) const;

    // Stores bytes into a memory area as the scenario's patches do.
    void Put(const char* area, std::uint64_t addr, const Bytes& bytes);
    // A single or an unsigned 32-bit integer in the meter's byte order.
    Bytes Single(float value) const;
    Bytes Word(std::uint32_t value) const;

    // Takes an unsigned number of at most max from the entry (absent: nothing).
    static std::optional<std::uint64_t> TakeUnsigned(json& entry, const char* key, std::uint64_t max,
                                                     const std::string& where);

private:
    void LoadFactoryNumber(const json& v, const std::string& where);
    void LoadPerChannel(const json& v, const std::vector<std::uint16_t>& cells, const char* area,
                        const std::string& where);
    void LoadLive(json& entry, json& v, const std::string& where);
    void LoadTables(const json& v, const std::string& where);
    void StoreTable(const HeatMeterLayout::Cells& cells, const CalibrationTable& values, bool k);
    void SealBlock();
    bool IsCoefficientCell(std::uint32_t addr) const;
    std::uint16_t BlockSum(const MemoryArea& rtc2k) const;
    float CellValue(const MemoryArea& rtc2k, std::uint16_t cell) const;
    const MemoryArea& Rtc2k() const;

    HeatMeterLayout layout_;
};

} // namespace metersim
