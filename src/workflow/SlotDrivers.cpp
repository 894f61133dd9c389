#include "SlotDrivers.h"

#include "MeterTypes.h"

#include <array>
#include <functional>

namespace {

template <std::size_t N> SlotDriver Make()
{
    using Ptr = std::variant_alternative_t<N, SlotDriver>;
    return SlotDriver(std::in_place_index<N>, Ptr(new typename Ptr::element_type()));
}

template <std::size_t... N> constexpr auto MakeTable(std::index_sequence<N...>)
{
    return std::array<SlotDriver (*)(), sizeof...(N)>{&Make<N + 1>...};
}

} // namespace

SlotDriver MakeSlotDriver(std::uint8_t typeCode)
{
    static constexpr auto table = MakeTable(std::make_index_sequence<DeviceTypeLast>{});
    if (!HasDriver(static_cast<DeviceTypeCode>(typeCode))) return SlotDriver{};
    return table[typeCode - 1]();
}

void ConfigureSlotDriver(SlotDriver& driver, TulvPort& port, const DeviceSlot& slot, const TimeoutProfile& profile,
                         const std::string& signature)
{
    if (!HasDriver(driver)) return;
    WithDriver(driver, [&](auto& d) {
        d.SetComPort(&port);
        d.SetNetAddr(slot.NetAddress());
        if constexpr (requires { d.SetGZU_NetAddr(0u); }) {
            if (RelayAddressed(slot.TypeCode())) d.SetGZU_NetAddr(slot.RelayAddress());
        }
        // The setters keep only values within their own limits.
        d.SetByteTimeout(static_cast<std::uint32_t>(profile.ByteTimeout));
        d.SetPacketTimeout(static_cast<std::uint32_t>(profile.PacketTimeout));
        d.SetRepeatCount(profile.RepeatCount >= 0 && profile.RepeatCount <= 255
                             ? static_cast<std::uint8_t>(profile.RepeatCount)
                             : std::uint8_t{0});
        d.SetSignature(signature);
        d.SetEWrite(true);
    });
}

ProtocolErrorCode DriverLastError(const SlotDriver& d)
{
    return std::visit(
        [](const auto& alt) -> ProtocolErrorCode {
            if constexpr (std::is_same_v<std::decay_t<decltype(alt)>, std::monostate>)
                return 0;
            else
                return alt->LastError();
        },
        d);
}

TulvPort* DriverPort(SlotDriver& d)
{
    if (!HasDriver(d)) return nullptr;
    return WithDriver(d, [](auto& driver) { return driver.ComPort(); });
}
