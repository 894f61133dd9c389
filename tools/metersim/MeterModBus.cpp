#include "MeterModBus.h"

#include <stdexcept>

namespace metersim {

namespace {

constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr std::uint8_t kIllegalDataAddress = 0x02;
constexpr std::uint8_t kIllegalDataValue = 0x03;
constexpr std::size_t kMaxText = pmb::kMaxFrame - 6;

Answer Exception(std::uint8_t function, std::uint8_t code)
{
    return Answer::With({static_cast<std::uint8_t>(function | pmb::kExceptionFlag), code});
}

std::uint16_t Word(const Bytes& b, std::size_t at)
{
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

} // namespace

MeterModBus::MeterModBus(std::string model) : Meter("modbus", std::move(model), 247), texts_({"id"}, kMaxText)
{
    AddArea("holding", 0x10000, 0xFF, 2);
    SetFaultMenu(
        {"modbus",
         {"silent", "delay_ms", "noise", "bad_checksum", "bad_crc", "drop_last_byte", "drop_byte", "unplug",
          "exception"},
         {{"bad_complement", "a ModBus frame carries no address complement to break"},
          {"wrong_code", "a ModBus reply has no reply code of its own (exception gives an exception reply)"}}});
}

void MeterModBus::Load(json& entry, const std::string& where)
{
    if (auto registers = Take(entry, "registers")) {
        const auto count = ToUnsigned(*registers, 0x10000, where + ".registers");
        if (count == 0) throw ScenarioError(where + ".registers: at least 1");
        try {
            Area("holding")->Resize(count);
        } catch (const std::out_of_range& e) {
            throw ScenarioError(where + ".registers: " + e.what());
        }
    }
    if (auto texts = Take(entry, "texts")) texts_.Load(*texts, where + ".texts");
    Meter::Load(entry, where);
    if (Address() == pmb::kBroadcast)
        throw ScenarioError(where + ".address: 0 is the broadcast address; a slave has 1..247");
}

json MeterModBus::Dump() const
{
    json d = Meter::Dump();
    d["texts"] = texts_.Source();
    return d;
}

Answer MeterModBus::Handle(const pmb::Request& r)
{
    const Bytes& p = r.payload;
    const MemoryArea& holding = *Area("holding");
    switch (r.function) {
    case 0x03: {
        if (p.size() != 4) return Exception(r.function, kIllegalDataValue);
        const std::uint16_t start = Word(p, 0), count = Word(p, 2);
        if (count < 1 || count > 125) return Exception(r.function, kIllegalDataValue);
        if (!holding.Contains(start, 2u * count)) return Exception(r.function, kIllegalDataAddress);
        Bytes pdu{r.function, static_cast<std::uint8_t>(2 * count)};
        const Answer read = ReadArea("holding", start, 2u * count, 250);
        pdu.insert(pdu.end(), read.data.begin(), read.data.end());
        return Answer::With(pdu);
    }
    case 0x10: {
        if (p.size() < 5) return Exception(r.function, kIllegalDataValue);
        const std::uint16_t start = Word(p, 0), count = Word(p, 2);
        if (count < 1 || count > 123 || p[4] != 2 * count || p.size() != 5u + p[4])
            return Exception(r.function, kIllegalDataValue);
        if (!holding.Contains(start, 2u * count)) return Exception(r.function, kIllegalDataAddress);
        WriteArea("holding", start, Bytes(p.begin() + 5, p.end()), false);
        return Answer::With({r.function, p[0], p[1], p[2], p[3]});
    }
    case 0x11: {
        if (!p.empty()) return Exception(r.function, kIllegalDataValue);
        const Bytes& text = texts_.Get("id");
        Bytes pdu{r.function, static_cast<std::uint8_t>(text.size() + 1), static_cast<std::uint8_t>(text.size())};
        pdu.insert(pdu.end(), text.begin(), text.end());
        return Answer::With(pdu);
    }
    default: return Exception(r.function, kIllegalFunction);
    }
}

} // namespace metersim
