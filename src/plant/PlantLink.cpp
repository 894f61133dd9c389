#include "PlantLink.h"

std::unique_ptr<PlantLink> PlantLink::FromSettings(const Settings& settings)
{
    if (settings.PlantDatabase().empty() || settings.Path().empty()) return nullptr;
    PlantSenderOptions o;
    o.Database = settings.PlantDatabase();
    o.Bench = settings.PlantBench().empty() ? HostName() : settings.PlantBench();
    o.OutboxPath = OutboxPath(JournalPath(settings.Path()));
    return std::make_unique<PlantLink>(std::move(o));
}

PlantLink::PlantLink(PlantSenderOptions options) : FSender(std::move(options))
{
    FSender.Start();
}

void PlantLink::Follow(const DevManager& dev)
{
    std::vector<std::string> serials;
    for (int s = 1; s <= 2; ++s)
        if (dev.Slot(s).TypeCode() != 0) serials.push_back(dev.Slot(s).SerialText());
    FSerials = serials;
    FSender.Watch(std::move(serials));
}

std::string PlantLink::Word() const
{
    return PlantStatusWord(FSender.Status());
}

std::string PlantLink::Tooltip() const
{
    return PlantStatusTooltip(FSender.Status(), FSerials);
}
