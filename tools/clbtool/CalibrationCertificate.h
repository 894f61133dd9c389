// The certificate of a calibration run (--certificate FILE.pdf): laid out by
// the workflow and printed into the PDF file through the printing module,
// loaded on demand. The footer lines are the coefficient sheet's, from the
// settings.
#pragma once

#include "CalibrationRun.h"

#include <string>

class Settings;

CertificateWriter CalibrationCertificate(const Settings& settings);

// Whether a file can be made at path: its folder exists and may be written,
// and path is not a folder. False with the reason, naming the path, so that a
// run is not made for a certificate that cannot be kept.
bool CertificatePathUsable(const std::string& path, std::string& error);
