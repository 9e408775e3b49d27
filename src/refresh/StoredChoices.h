#pragma once

#include "core/Provider.h"

#include <QString>

#include <array>
#include <optional>

namespace creditgauge {

// The user's choices as the settings file holds them (read anew each time, so that a choice
// made in another process counts here too), unless one was given for this run or could not be
// stored: that one holds for the rest of the session. Each setter says whether the choice
// reached the disk.
class StoredChoices
{
public:
    StoredChoices(std::optional<Provider> provider, std::optional<bool> allProviders);

    Provider provider() const;
    bool setProvider(Provider provider);
    bool allProviders() const;
    bool setAllProviders(bool on);
    MoonshotRegion moonshotRegion() const;
    bool setMoonshotRegion(MoonshotRegion region);
    QString relayAddress() const;
    bool setRelayAddress(const QString &address);
    double lowMark(Provider provider) const;
    bool setLowMark(Provider provider, double mark);

private:
    std::optional<Provider> m_provider;
    std::optional<bool> m_allProviders;
    std::optional<MoonshotRegion> m_region;
    std::optional<QString> m_relayAddress;
    std::array<std::optional<double>, Provider::allCases().size()> m_lowMarks;
};

} // namespace creditgauge
