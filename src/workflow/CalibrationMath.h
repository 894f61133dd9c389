// The mathematics of a calibration on the flow stand, without a meter or a
// window: the correction a meter applies through its point table and its
// inverse, the new point table from measured points, the error of a point, the
// maximum permissible error of an accuracy class, the uncertainty of the bench
// and the verdict, and the statistics of a series of timed samples.
//
// The model. A meter measures an uncorrected flow fraction x (the flow as a
// fraction of Gmax) and corrects it through the eight points of its tables:
// x[j] = K[j+2] is the fraction the meter measured at point j+1 when it was
// calibrated and y[j] = Obr[j+2] the reference fraction there. Between two
// points the correction is the straight line through them, below the first
// point the line through the origin, above the last the line toward (2, 2).
// The poller applies it to the reading of a КВТ-64; every other type applies
// it inside and reports the corrected flow. Calibrating keeps K0, Ku and Gmax
// and puts the measured pairs in place of the eight points, so that the
// corrected flow at each point becomes the reference flow.
#pragma once

#include "CoefficientSet.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

// --- The correction through the point table ------------------------------------

// The uncorrected fraction of a КВТ-64 from its raw reading G, as the poller
// computes it: (G − K0) · Ku / 26214.
double RawReadingFraction(double G, const CoefficientTables& t);

// The corrected fraction for the uncorrected fraction x, exactly as the poller
// corrects a КВТ-64 (CalibrationCurveFlow without the factor Gmax): the sign
// is kept and the magnitude corrected; at a point itself the segment below it
// applies. Every table is taken as it is: where points do not increase, a
// value that falls in no segment stays uncorrected, as in the poller.
double CorrectedFraction(double x, const CoefficientTables& t);

// The first reason why the points of a table do not form a curve that can be
// inverted, in Russian ("K точки 3 = 0.005 не больше K точки 2 = 0.005");
// empty when they do. The curve must rise strictly from (0, 0) through the
// eight points toward (2, 2): both K and Obr of the points finite, positive,
// strictly increasing and below 2.
std::string PointTableFault(const CoefficientTables& t);

// The uncorrected fraction x whose correction is the corrected fraction y:
// the inverse of CorrectedFraction at every segment, below the first point and
// beyond the last (the sign is kept). False with a message in error when the
// table's curve cannot be inverted (PointTableFault) or y is not a number.
bool UncorrectedFraction(double y, const CoefficientTables& t, double& x, std::string& error);

// --- The new point table ------------------------------------------------------------

// What the stand measured at one point, as means over the point's samples.
struct MeasuredPoint {
    double MeterFraction = 0; // the meter's uncorrected fraction of Gmax
    double ReferenceFlow = 0; // the reference flow, in the units of Gmax
};

// The number of points of a table.
inline constexpr std::size_t TablePointCount = 8;

// The table after calibration: K0, Ku and Gmax of current kept; point p of the
// K table becomes the meter's fraction measured at p, point p of the Obr table
// the reference flow at p divided by Gmax (both stored as singles, as the
// meter keeps them). The points come in the table's order, point 1 first.
// False with a message in error (Russian, naming the point) when there are not
// eight points, Gmax is not a positive number, or the new points do not rise
// strictly in both tables as PointTableFault requires; table is then unchanged.
bool NewPointTable(const CoefficientTables& current, const std::vector<MeasuredPoint>& points, CoefficientTables& table,
                   std::string& error);

// --- Error, accuracy class, uncertainty and verdict ----------------------------------

// The error of the meter at a point in per cent of the reference flow:
// (meter − reference) / reference × 100. Not a number when the reference flow
// is not a positive number.
double ErrorPct(double meterFlow, double referenceFlow);

// The maximum permissible error in per cent of a flow sensor of the accuracy
// class (1, 2 or 3) at the flow q, qp being the permanent flow:
//   class 1: 1 + 0.01 · qp/q, at most 3.5
//   class 2: 2 + 0.02 · qp/q, at most 5
//   class 3: 3 + 0.05 · qp/q, at most 5
// Not a number when q or qp is not a positive number. Throws
// std::invalid_argument for any other class.
double MaxPermissibleErrorPct(int accuracyClass, double q, double qp);
bool IsAccuracyClass(int accuracyClass);

// The stated expanded uncertainty of the reference when none is given, in per cent.
inline constexpr double DefaultReferenceUncertaintyPct = 0.2;

struct SampleStats;

// The expanded uncertainty (k = 2) of the error at a point, in per cent. The
// relative standard uncertainties are combined as the root of the sum of their
// squares: the reference's stated uncertainty, which is an expanded one
// (k = 2) and so counts with half its value, and the repeatability of the
// mean of each series, reference and meter (s / √n relative to the mean, that
// is CV / √n); the sum is doubled again. A series of one sample (a reference
// typed in by hand) has no scatter of its own and adds nothing. Not a number
// when a series is empty or its mean is 0.
double ExpandedUncertaintyPct(double referenceUncertaintyPct, const SampleStats& reference, const SampleStats& meter);

// Guarded acceptance: Pass when |E| + U ≤ MPE, Fail when |E| − U > MPE,
// Undetermined otherwise, and whenever one of the figures is not a number.
enum class Verdict { Pass, Fail, Undetermined };
Verdict Judge(double errorPct, double uncertaintyPct, double mpePct);
// "годен", "не годен", "не определено".
const char* VerdictText(Verdict verdict);
// A meter passes when it has points and every point passes.
bool MeterPasses(const std::vector<Verdict>& points);

// --- Series of timed samples ---------------------------------------------------------

// One reading with its time in seconds on the run's monotonic clock.
struct Sample {
    double Time = 0;
    double Value = 0;
};

// n, mean, the sample standard deviation (n − 1 in the divisor; 0 for one
// sample), least and greatest value and the coefficient of variation
// σ / |mean| × 100 %. With no samples everything but N is not a number; the CV
// is not a number when the mean is 0.
struct SampleStats {
    std::size_t N = 0;
    double Mean = 0, Sigma = 0, Min = 0, Max = 0, CvPct = 0;
};
SampleStats StatsOf(std::span<const Sample> samples);

// The samples of one quantity at one point, every sample kept, with their
// statistics.
struct SampleSeries {
    std::vector<Sample> Samples;
    SampleStats Stats;
};
SampleSeries SeriesOf(std::vector<Sample> samples);
