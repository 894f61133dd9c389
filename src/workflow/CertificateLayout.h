// The certificate of a calibration run: one A4 page with the certificate's
// number, the meter, the reference, the accuracy class, the points of both
// passes with their errors, limits, uncertainties and verdicts, the decision
// rule, the deviation chart of both passes, the date, the operator, places
// for signatures and the footer lines of the coefficient sheet.
//
// The page is laid out here as a document of texts and lines in millimetres,
// as the coefficient sheet is; the printing layer only draws it.
#pragma once

#include "CalibrationRun.h"
#include "CoefficientSheet.h"
#include "DeviceSlot.h"

#include <ctime>
#include <functional>
#include <string>

// What the certificate says beside the run itself.
struct CertificateDetails {
    std::string Number;   // CertificateNumber
    std::string Date;     // "DD.MM.YYYY"
    std::string Operator; // who ran the calibration; a blank line to fill in by hand when empty
    SheetFooter Footer;
};

// The certificate's number: the date, the meter's serial number and the time
// of day, "YYYYMMDD-SERIAL-HHMMSS" (blanks and slashes of the serial text
// left out), so that no two certificates of one meter share a number and the
// number needs no counter kept on the bench.
std::string CertificateNumber(const DeviceSlot& meter, std::time_t when);

// The title: "СВИДЕТЕЛЬСТВО О КАЛИБРОВКЕ", or "СВИДЕТЕЛЬСТВО О ПОВЕРКЕ" for a
// verification pass alone.
std::string CertificateTitle(const CalibrationResult& result);

// The decision rule in words, as printed.
extern const char* const DecisionRuleText;

// The page of the certificate.
SheetDocument LayoutCertificate(const CalibrationResult& result, const DeviceSlot& meter,
                                const CertificateDetails& details);

// The details of a certificate made now: its number, today's date, the
// operator (CurrentOperatorName) and the given footer.
CertificateDetails CertificateDetailsNow(const DeviceSlot& meter, const SheetFooter& footer);

// Writes the certificate of a run on meter (the slot calibrated) as its page,
// with the details of the moment it is called; the printing layer prints the
// page where the user chooses.
using CertificateWriter = std::function<SheetDocument(const CalibrationResult& result, const DeviceSlot& meter)>;

// The certificates of this bench: CertificateDetailsNow with the given footer.
CertificateWriter CertificateWriterWithFooter(const SheetFooter& footer);

// The login name of the user running the program, or the full name of the
// account when it has one; empty when neither is known.
std::string CurrentOperatorName();
