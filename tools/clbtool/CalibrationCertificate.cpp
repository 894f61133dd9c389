#include "CalibrationCertificate.h"

CertificateWriter CalibrationCertificate()
{
    // The certificate's page is not built yet: --certificate is refused as not supported.
    return {};
}
