#include "SlotBoxes.h"

#include "MeterTypes.h"
#include "UltrasonicTables.h"
#include "UlvUtils.h"

std::string CoefficientBoxName(int slot, int row)
{
    const std::string n = "0" + std::to_string(slot);
    if (row == 0) return "EZero" + n;
    if (row == 1) return "EKU" + n;
    return "EG" + n + std::to_string(row - 1);
}

std::string FlowBoxName(int slot)
{
    return "EG0" + std::to_string(slot);
}

std::optional<std::string> CoefficientText(const DeviceSlot& slot, const CoefficientSet& c, int row)
{
    const ZeroForm units = MeterTypeOf(slot.TypeCode()).Units.Zero;
    const bool ultrasonic = units == ZeroForm::Sensor;
    const double gmax = c.Gmax;
    if (row == 1) {
        if (ultrasonic) return std::nullopt;
        return FormatValue(6, c.K[1]);
    }
    const double k = c.K[row];
    double shown;
    if (ultrasonic) {
        // A sensor index beyond the divisor table has no divisor: no value is shown.
        auto divisor = SensorDivisor(slot.SensorIndex());
        if (!divisor) return std::string("error");
        shown = gmax * (k / *divisor);
    } else if (row == 0 && units == ZeroForm::Converter) {
        shown = k * gmax / static_cast<double>(26214.0f);
    } else if (row == 0 && units == ZeroForm::Flow) {
        shown = k;
    } else {
        shown = k * gmax;
    }
    return FormatValue(6, static_cast<float>(shown));
}

void ShowCoefficientBox(Host& host, int n, const DeviceSlot& slot, const CoefficientSet& c, int row)
{
    if (!c.ReadDone || slot.TypeCode() == 0) return;
    host.SetBox(CoefficientBoxName(n, row), CoefficientText(slot, c, row), ShownColour);
}
