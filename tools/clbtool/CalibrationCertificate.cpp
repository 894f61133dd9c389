#include "CalibrationCertificate.h"

#include "CertificateLayout.h"
#include "PrintLoader.h"
#include "SystemText.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool CertificatePathUsable(const std::string& path, std::string& error)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int err = 0;
    struct stat st {};
    if (path.empty() || path.back() == '/')
        err = EISDIR;
    else if (::stat(folder.c_str(), &st) != 0)
        err = errno;
    else if (!S_ISDIR(st.st_mode))
        err = ENOTDIR;
    else if (::access(folder.c_str(), W_OK) != 0)
        err = errno;
    else if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        err = EISDIR;
    if (err == 0) return true;
    error = "Свидетельство нельзя записать в файл " + path + ": " + SystemErrorText(err);
    return false;
}

} // namespace

bool CertificateTargetsUsable(const CertificateTargets& targets, std::string& error)
{
    if (targets.Pdf && !CertificatePathUsable(*targets.Pdf, error)) {
        error = "--certificate: " + error;
        return false;
    }
    if (!targets.Any()) return true;
    if (!PrintModuleReady(error)) {
        error += "; калибровка не начата, прибор не изменён";
        return false;
    }
    if (targets.Printer && !PrinterExistsOnDemand(*targets.Printer, error)) {
        error = "--certificate-printer: " + error;
        return false;
    }
    return true;
}

CertificatePrinted PrintCalibrationCertificate(const Settings& settings, const CalibrationResult& result,
                                               const DeviceSlot& meter, const CertificateTargets& targets)
{
    CertificatePrinted printed;
    const SheetDocument page = CertificateWriterWithFooter(SheetFooterFrom(settings))(result, meter);
    std::string error;
    if (targets.Pdf) {
        // The folder may have gone while the run went on.
        printed.Pdf = CertificatePathUsable(*targets.Pdf, error) && PrintSheetsToPdfOnDemand(page, *targets.Pdf, error);
        if (!printed.Pdf) printed.Errors.push_back(error);
    }
    if (targets.Printer) {
        printed.Printer = PrintSheetsOnPrinterOnDemand(page, *targets.Printer, error);
        if (!printed.Printer) printed.Errors.push_back(error);
    }
    return printed;
}

