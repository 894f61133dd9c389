// The certificate of a calibration run (--certificate FILE.pdf): the printing
// layer's writer when the build has one; empty when it has none.
#pragma once

#include "CalibrationRun.h"

CertificateWriter CalibrationCertificate();
