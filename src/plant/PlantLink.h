// The window's link to the plant record: a sender started from the settings
// file, and the words the status bar shows. Everything here answers at once;
// the server is only ever waited for on the sender's own thread.
#pragma once

#include "DevManager.h"
#include "PlantSender.h"
#include "Settings.h"

#include <memory>
#include <string>
#include <vector>

class PlantLink {
public:
    // Nothing when the settings leave the plant record off ([Plant] Database empty).
    static std::unique_ptr<PlantLink> FromSettings(const Settings& settings);

    explicit PlantLink(PlantSenderOptions options);

    // Asks for the latest events of the meters the slots hold.
    void Follow(const DevManager& dev);
    // The status bar's word and its tooltip.
    std::string Word() const;
    std::string Tooltip() const;
    PlantSender& Sender() { return FSender; }

private:
    PlantSender FSender;
    std::vector<std::string> FSerials;
};
