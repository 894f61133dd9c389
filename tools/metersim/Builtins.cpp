// The protocol families and meter models of this simulator, one line each.
#include "Meter6x.h"
#include "Protocol6x.h"
#include "Registry.h"

namespace metersim {

const Registry& BuiltinRegistry() {
    static const Registry registry = [] {
        Registry r;
        r.AddProtocol("6x", &Protocol6x::Create);
        r.AddModel("6x", "generic", []() -> std::unique_ptr<Meter> { return std::make_unique<Meter6x>(); });
        return r;
    }();
    return registry;
}

} // namespace metersim
