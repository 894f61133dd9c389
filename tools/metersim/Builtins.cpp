// The protocol families and meter models of this simulator, one line each.
#include "Meter6x.h"
#include "MeterM4.h"
#include "MeterModBus.h"
#include "MeterRelay.h"
#include "Protocol6x.h"
#include "ProtocolM4.h"
#include "ProtocolModBus.h"
#include "ProtocolRelay.h"
#include "Registry.h"
#include "models/Dln0803s.h"
#include "models/Dln0805.h"
#include "models/Dln0805s.h"
#include "models/Dln0807.h"
#include "models/Dln0807s.h"
#include "models/Dln0808.h"
#include "models/Dln0809.h"
#include "models/Gzu08.h"
#include "models/Kvt09M4.h"
#include "models/Kvt61.h"
#include "models/Kvt64.h"
#include "models/Kvt641.h"
#include "models/Kvt64KU.h"
#include "models/Kvt64M1.h"
#include "models/Kvt66.h"
#include "models/Kvt76.h"
#include "models/Kvt78.h"

namespace metersim {

const Registry& BuiltinRegistry()
{
    static const Registry registry = [] {
        Registry r;
        r.AddProtocol("6x", &Protocol6x::Create);
        r.AddModel("6x", "generic", []() -> std::unique_ptr<Meter> { return std::make_unique<Meter6x>(); });
        r.AddProtocol("relay", &ProtocolRelay::Create);
        r.AddModel("relay", "generic", []() -> std::unique_ptr<Meter> { return std::make_unique<MeterRelay>(); });
        r.AddProtocol("m4", &ProtocolM4::Create);
        r.AddModel("m4", "generic", []() -> std::unique_ptr<Meter> { return std::make_unique<MeterM4>(); });
        r.AddProtocol("modbus", &ProtocolModBus::Create);
        r.AddModel("modbus", "generic", []() -> std::unique_ptr<Meter> { return std::make_unique<MeterModBus>(); });
        r.AddModel("6x", "kvt64", &Kvt64::Create);
        r.AddModel("6x", "kvt641", &Kvt641::Create);
        r.AddModel("6x", "kvt61", &Kvt61::Create);
        r.AddModel("6x", "kvt66", &Kvt66::Create);
        r.AddModel("6x", "kvt76", &Kvt76::Create);
        r.AddModel("6x", "kvt78", &Kvt78::Create);
        r.AddModel("6x", "kvt64m1", &Kvt64M1::Create);
        r.AddModel("6x", "dln0803s", &Dln0803s::Create);
        r.AddModel("6x", "dln0805s", &Dln0805s::Create);
        r.AddModel("6x", "dln0807s", &Dln0807s::Create);
        r.AddModel("6x", "dln0809", &Dln0809::Create);
        r.AddModel("relay", "kvt64ku", &Kvt64KU::Create);
        r.AddModel("relay", "gzu08", &Gzu08::Create);
        r.AddModel("m4", "dln0805", &Dln0805::Create);
        r.AddModel("m4", "dln0807", &Dln0807::Create);
        r.AddModel("m4", "kvt09m4", &Kvt09M4::Create);
        r.AddModel("modbus", "dln0808", &Dln0808::Create);
        return r;
    }();
    return registry;
}

} // namespace metersim
