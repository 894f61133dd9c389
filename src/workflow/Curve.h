// The calibration curve of a slot: the deviation in per cent of the measured
// flow (table K) from the reference flow (table Obr) at the eight calibration
// points, the scales of its chart, its title and the preset name of its picture.
#pragma once

#include "CoefficientSet.h"
#include "DeviceSlot.h"
#include "MeterTypes.h"

#include <cstdint>
#include <string>
#include <vector>

// How the deviation is computed (CurveVariant, MeterTypes.h), from the type's row.
CurveVariant CurveVariantOf(std::uint8_t typeCode);

struct CurvePoint {
    int X = 0;    // point number 1..8
    double Y = 0; // deviation in per cent
};

// The points of the curve, in ascending X: eight for Plain and KU, six (X = 3..8)
// for GZU. Every Y is finite: where a divisor is zero (a zero reference value,
// a factor or a line that cannot be built because two measured values are
// equal) or the values give no finite result, the point is drawn at 0.
// The GZU deviation is cut toward zero to four decimals.
std::vector<CurvePoint> CurvePoints(const CoefficientSet& set, CurveVariant variant);

// Cuts a value toward zero to four decimals through a 4-byte float, as the
// GZU deviation is: 1.23456 gives 1.2345, -1.23456 gives -1.2345.
double TruncateToFourDecimals(double value);

// The manual scales of the chart: left axis from -1.2m to +1.2m with the label
// step 1.2m/20, m being the largest magnitude of the points; when m is 0 (all
// points at 0, or none) the axis is drawn as for m = 1 (-1.2..+1.2, step 0.12),
// so that the zero line sits in the middle. Bottom axis 0.5..8.5, step 1.
struct CurveScales {
    double YMin = 0, YMax = 0, YStep = 0;
    double XMin = 0.5, XMax = 8.5, XStep = 1;
};
CurveScales CurveScalesFor(const std::vector<CurvePoint>& points);

// "Кривая калибровки " + display name + " №" + serial text.
std::string CurveTitle(const DeviceSlot& slot);
// The preset name of the saved picture: display name_serial_channel.wmf.
std::string CurveFileName(const DeviceSlot& slot);

// A value mark in the number format "#,##0.###": thousands grouped by ",", "."
// as the decimal point, at most three decimals (rounded half away from zero),
// trailing zeros dropped: 1234.5 gives "1,234.5", -0.0004 gives "0".
std::string FormatCurveValue(double value);

// --- The deviation of a calibration run ----------------------------------------------

struct CalibrationResult;

// The error of the meter at each point of a run, as found and as left: X the
// point's number from 1 in the run's order, Y the error in per cent. A pass
// that has no figures at a point leaves it out. Mpe holds the limit at each
// point with figures (the as-left one when measured, else the as-found one):
// X the point, Y the limit's magnitude.
struct RunDeviation {
    std::vector<CurvePoint> AsFound, AsLeft, Mpe;
    int PointCount = 0;
    bool Empty() const { return AsFound.empty() && AsLeft.empty(); }
};
RunDeviation RunDeviationOf(const CalibrationResult& result);

// The scales of the deviation chart: as CurveScalesFor over both passes and
// the limits, the bottom axis from 0.5 to the point count + 0.5.
CurveScales RunDeviationScales(const RunDeviation& deviation);
