// A simulated meter: its network address, its memories, its faults and what it has been asked.
//
// A protocol family derives its own meter class from Meter and answers that family's commands; a
// meter type with cells of its own derives from the family's class, in a file of its own, and is
// listed in the registry under its model name.
//
// Scenario keys every meter takes: its address (under the family's key name: "address", or
// "serial" for the relay), "memory" (patches), "readonly" (cells that write commands leave alone)
// and "faults".
#pragma once

#include "Faults.h"
#include "JsonFields.h"
#include "LiveFlow.h"
#include "MemoryArea.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace metersim {

class StandMeter;

// A meter's decision on one request: reply with these data bytes, or stay silent (why).
struct Answer {
    bool reply = false;
    Bytes data;
    std::string reason;
    static Answer With(Bytes data) { return {true, std::move(data), {}}; }
    static Answer Silent(std::string why) { return {false, {}, std::move(why)}; }
};

class Meter {
public:
    virtual ~Meter() = default;
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    std::uint32_t Address() const { return address_; }
    const std::string& Protocol() const { return protocol_; }
    const std::string& Model() const { return model_; }
    const FaultSet& Faults() const { return faults_; }
    // The only speed the meter understands ("baud" in the scenario); 0: any.
    unsigned Baud() const { return baud_; }

    // Null when the meter has no area of that name.
    MemoryArea* Area(const std::string& name);
    const std::vector<MemoryArea>& Areas() const { return areas_; }

    // Bookkeeping of the family: a request that reached this meter, and the number (from 1) of a
    // reply that the meter decided to give, before faults act on it. A meter on the flow stand
    // takes its live flow of this moment before it answers.
    void CountRequest();
    std::uint64_t NextReplyNumber() { return ++replies_; }

    // Takes this meter's keys out of its scenario object. A derived class takes its own keys and
    // then calls this; keys left over are reported by the caller.
    virtual void Load(json& entry, const std::string& where);

    // The meter's state for the dump.
    virtual json Dump() const;

    // The flow stand's view of a flow channel (from 1): the calibration it holds and how the meter
    // reports flow; nothing for a meter or channel the stand cannot drive.
    virtual std::optional<StandCalibration> StandState(int /*channel*/) const { return std::nullopt; }
    // Puts the value the meter reports (in the form StandState gives) into the channel's live cell.
    virtual void PutLiveFlow(int /*channel*/, double /*value*/) {}
    // Puts the meter on the flow stand ("stand" in the scenario).
    void AttachStand(std::shared_ptr<StandMeter> stand) { stand_ = std::move(stand); }

protected:
    // maxAddress: the highest network address of the protocol family; addressKey: the scenario key
    // (and dump key) of the address.
    Meter(std::string protocol, std::string model, std::uint32_t maxAddress, std::string addressKey = "address");
    // unit: bytes per address (2 for 16-bit registers).
    void AddArea(std::string name, std::uint64_t size, std::uint8_t fill, unsigned unit = 1);
    // The faults the family's meters take (by default those of a 6x meter).
    void SetFaultMenu(FaultMenu menu) { faultMenu_ = std::move(menu); }

    // A read of count bytes at addr of an area, answered with the bytes, or silence when it runs
    // past the end of the area or would not fit a reply of maxCount bytes.
    Answer ReadArea(const std::string& area, std::uint64_t addr, std::size_t count, std::size_t maxCount);
    // Stores data (read-only cells keep their value); the answer carries the bytes read back when
    // echo is set, else no data. Silence when the write runs past the end of the area (nothing is
    // stored then).
    Answer WriteArea(const std::string& area, std::uint64_t addr, const Bytes& data, bool echo);

private:
    void LoadMemoryPatch(const json& patch, const std::string& where);
    void LoadReadOnly(const json& range, const std::string& where);
    MemoryArea& NamedArea(const json& patch, json& rest, const std::string& where);

    std::string protocol_;
    std::string model_;
    std::uint32_t maxAddress_;
    std::string addressKey_;
    std::uint32_t address_ = 0;
    unsigned baud_ = 0;
    std::vector<MemoryArea> areas_;
    FaultMenu faultMenu_;
    FaultSet faults_;
    std::uint64_t requests_ = 0;
    std::uint64_t replies_ = 0;
    std::shared_ptr<StandMeter> stand_;
};

} // namespace metersim
