#include "StoredChoices.h"

#include "store/Settings.h"

namespace creditgauge {
namespace {

// Should the choice not reach the disk, it still holds until the program ends.
template<typename T> bool hold(std::optional<T> &unsaved, T choice, bool saved)
{
    unsaved = saved ? std::nullopt : std::optional(choice);
    return saved;
}

} // namespace

StoredChoices::StoredChoices(std::optional<Provider> provider, std::optional<bool> allProviders)
    : m_provider(provider)
    , m_allProviders(allProviders)
{ }

Provider StoredChoices::provider() const
{
    return m_provider.value_or(Settings::provider());
}

bool StoredChoices::setProvider(Provider provider)
{
    return hold(m_provider, provider, Settings::setProvider(provider));
}

bool StoredChoices::allProviders() const
{
    return m_allProviders.value_or(Settings::allProvidersEnabled());
}

bool StoredChoices::setAllProviders(bool on)
{
    return hold(m_allProviders, on, Settings::setAllProvidersEnabled(on));
}

MoonshotRegion StoredChoices::moonshotRegion() const
{
    return m_region.value_or(Settings::moonshotRegion());
}

bool StoredChoices::setMoonshotRegion(MoonshotRegion region)
{
    return hold(m_region, region, Settings::setMoonshotRegion(region));
}

QString StoredChoices::relayAddress() const
{
    return m_relayAddress.value_or(Settings::relayAddress());
}

bool StoredChoices::setRelayAddress(const QString &address)
{
    return hold(m_relayAddress, address, Settings::setRelayAddress(address));
}

double StoredChoices::lowMark(Provider provider) const
{
    return m_lowMarks[provider.value()].value_or(Settings::lowMark(provider));
}

bool StoredChoices::setLowMark(Provider provider, double mark)
{
    return hold(m_lowMarks[provider.value()], mark, Settings::setLowMark(provider, mark));
}

} // namespace creditgauge
