#include "Provider.h"

#include "providers/ProviderDescription.h"

namespace creditgauge {

QString rawValue(MoonshotRegion region)
{
    return region == MoonshotRegion::china ? QStringLiteral("china")
                                           : QStringLiteral("international");
}

std::optional<MoonshotRegion> moonshotRegionFromRawValue(QStringView raw)
{
    for (const MoonshotRegion region : allMoonshotRegions) {
        if (raw == rawValue(region))
            return region;
    }
    return std::nullopt;
}

QString displayName(MoonshotRegion region)
{
    return region == MoonshotRegion::china ? QStringLiteral("China")
                                           : QStringLiteral("International");
}

std::optional<Provider> Provider::fromRawValue(QStringView raw)
{
    for (const Provider p : allCases()) {
        if (raw == p.description().rawValue)
            return p;
    }
    return std::nullopt;
}

const ProviderDescription &Provider::description() const
{
    switch (m_case) {
    case deepseek:
        return descriptions::deepseek;
    case openrouter:
        return descriptions::openrouter;
    case moonshot:
        return descriptions::moonshot;
    case siliconflow:
        return descriptions::siliconflow;
    case stepfun:
        return descriptions::stepfun;
    case novita:
        return descriptions::novita;
    case relay:
        return descriptions::relay;
    }
    Q_UNREACHABLE();
    return descriptions::deepseek;
}

QString Provider::rawValue() const
{
    return description().rawValue.toString();
}

QString Provider::displayName() const
{
    return description().displayName.toString();
}

QString Provider::initials() const
{
    return description().initials.toString();
}

QString Provider::keychainAccount() const
{
    return description().keychainAccount.toString();
}

QString Provider::keyPlaceholder() const
{
    return description().keyPlaceholder.toString();
}

QString Provider::titleText() const
{
    return displayName() + QStringLiteral("-Guthaben");
}

QString Provider::keyNote(MoonshotRegion region) const
{
    return description().keyNote({region});
}

QString Provider::currency(MoonshotRegion region) const
{
    return description().currency({region});
}

QString keyStoredNote()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("Der Key wird nur im macOS-Schlüsselbund gespeichert.");
#else
    // Elsewhere the key goes to the desktop's secret store, which is no macOS keychain.
    return QStringLiteral("Der Key wird nur im Schlüsselbund gespeichert.");
#endif
}

} // namespace creditgauge
