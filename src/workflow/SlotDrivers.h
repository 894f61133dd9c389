// One driver per slot, of the class its type code names.
//
// The drivers share no base class beyond their protocol, so a slot's driver is
// held as a variant whose alternative index is the type code (0: no driver).
// Per-type work is written as one dispatch per concern (read-out, polling,
// writing), each a table or a visit over this variant.
#pragma once

#include "DeviceCatalogue.h"
#include "DeviceSlot.h"
#include "Settings.h"

#include "TulvDln0803s.h"
#include "TulvDln0805.h"
#include "TulvDln0805s.h"
#include "TulvDln0807.h"
#include "TulvDln0807s.h"
#include "TulvDln0809.h"
#include "TulvGZU08.h"
#include "TulvKvt09M4.h"
#include "TulvKvt61.h"
#include "TulvKvt64.h"
#include "TulvKvt641.h"
#include "TulvKvt64KU.h"
#include "TulvKvt64M1.h"
#include "TulvKvt66.h"
#include "TulvKvt76.h"
#include "TulvKvt78.h"

#include <memory>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <variant>

class TulvPort;

// Alternative n is the driver of type code n.
using SlotDriver =
    std::variant<std::monostate, std::unique_ptr<TulvKvt64>, std::unique_ptr<TulvKvt641>, std::unique_ptr<TulvKvt61>,
                 std::unique_ptr<TulvKvt66>, std::unique_ptr<TulvKvt76>, std::unique_ptr<TulvKvt78>,
                 std::unique_ptr<TulvKvt64M1>, std::unique_ptr<TulvDln0803s>, std::unique_ptr<TulvDln0805>,
                 std::unique_ptr<TulvDln0805s>, std::unique_ptr<TulvDln0807>, std::unique_ptr<TulvDln0807s>,
                 std::unique_ptr<TulvDln0809>, std::unique_ptr<TulvKvt64KU>, std::unique_ptr<TulvGZU08>,
                 std::unique_ptr<TulvKvt09M4>>;

static_assert(std::variant_size_v<SlotDriver> == DeviceTypeLast + 1, "one alternative per type code of the catalogue");

// A new driver of the class of a type code; no driver for 0 and for codes beyond the catalogue.
SlotDriver MakeSlotDriver(std::uint8_t typeCode);

// Configures a driver for its slot, in this order: port, network address, relay
// address (relay-addressed types only), timeouts, signature, writing enabled.
void ConfigureSlotDriver(SlotDriver& driver, TulvPort& port, const DeviceSlot& slot, const TimeoutProfile& profile,
                         const std::string& signature);

// True when the slot has a driver.
inline bool HasDriver(const SlotDriver& d)
{
    return d.index() != 0;
}

// Calls f with a reference to the driver object (not for an empty slot).
template <class F> decltype(auto) WithDriver(SlotDriver& d, F&& f)
{
    using R = std::invoke_result_t<F&, TulvKvt64&>;
    return std::visit(
        [&](auto& alt) -> R {
            if constexpr (std::is_same_v<std::decay_t<decltype(alt)>, std::monostate>)
                throw std::logic_error("slot without a driver");
            else
                return f(*alt);
        },
        d);
}

// The port the driver talks through (nullptr for an empty slot or no port).
TulvPort* DriverPort(SlotDriver& d);

// The driver's LastError (0 for an empty slot).
ProtocolErrorCode DriverLastError(const SlotDriver& d);
