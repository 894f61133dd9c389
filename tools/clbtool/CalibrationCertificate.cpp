#include "CalibrationCertificate.h"

#include "CertificateLayout.h"
#include "PrintLoader.h"
#include "SystemText.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

CertificateWriter CalibrationCertificate(const Settings& settings)
{
    const SheetFooter footer = SheetFooterFrom(settings);
    return [footer](const CalibrationResult& result, const DeviceSlot& meter, const std::string& path,
                    std::string& error) {
        if (!CertificatePathUsable(path, error)) return false;
        const SheetDocument document = LayoutCertificate(result, meter, CertificateDetailsNow(meter, footer));
        return PrintSheetsToPdfOnDemand(document, path, error);
    };
}

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
