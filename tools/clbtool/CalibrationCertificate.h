// The certificate of a calibration run: laid out by the workflow with the
// coefficient sheet's footer lines from the settings, printed through the
// printing module (loaded on demand) into a PDF file (--certificate FILE.pdf),
// on a print queue (--certificate-printer QUEUE), or both.
#pragma once

#include "CalibrationRun.h"

#include <optional>
#include <string>
#include <vector>

class Settings;

// Where the certificate goes; nothing when neither is set.
struct CertificateTargets {
    std::optional<std::string> Pdf;
    std::optional<std::string> Printer;
    bool Any() const { return Pdf || Printer; }
};

// Whether the certificate can go where it is asked to, found out before the
// run: a file can be made at the path (its folder exists and may be written,
// it is not a folder), the printing module loads, and the print system knows
// the queue. False with the reason, so that no run is made for a certificate
// that cannot be had.
bool CertificateTargetsUsable(const CertificateTargets& targets, std::string& error);

// Lays the certificate of the run out once and prints it into the file and
// on the queue, as asked: what went where, and a message for each failure.
struct CertificatePrinted {
    bool Pdf = false;
    bool Printer = false;
    std::vector<std::string> Errors;
};
CertificatePrinted PrintCalibrationCertificate(const Settings& settings, const CalibrationResult& result,
                                               const DeviceSlot& meter, const CertificateTargets& targets);
