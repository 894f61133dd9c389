// A folder of its own under /tmp, removed with everything in it at the end.
#pragma once

#include "PlantOutbox.h"

#include <cstdlib>
#include <filesystem>
#include <string>

struct TempFolder {
    std::string Path;
    TempFolder()
    {
        char tmpl[] = "/tmp/clb-plant-XXXXXX";
        Path = ::mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempFolder()
    {
        std::error_code ec;
        if (!Path.empty()) std::filesystem::remove_all(Path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    // The journal of a bench in this folder, and its outbox beside it.
    std::string Journal() const { return Path + "/journal.csv"; }
    std::string Outbox() const { return OutboxPath(Journal()); }
};
