#include "Provider.h"

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
        if (raw == p.rawValue())
            return p;
    }
    return std::nullopt;
}

QString Provider::rawValue() const
{
    switch (m_case) {
    case deepseek:
        return QStringLiteral("deepseek");
    case openrouter:
        return QStringLiteral("openrouter");
    case moonshot:
        return QStringLiteral("moonshot");
    }
    Q_UNREACHABLE();
    return {};
}

QString Provider::displayName() const
{
    switch (m_case) {
    case deepseek:
        return QStringLiteral("DeepSeek");
    case openrouter:
        return QStringLiteral("OpenRouter");
    case moonshot:
        return QStringLiteral("Moonshot");
    }
    Q_UNREACHABLE();
    return {};
}

QString Provider::keychainAccount() const
{
    // DeepSeek was the first provider and keeps the bare account name, so that keys stored
    // before the others existed are still found.
    if (m_case == deepseek)
        return QStringLiteral("api-key");
    return QStringLiteral("api-key-") + rawValue();
}

QString Provider::keyPlaceholder() const
{
    return m_case == openrouter ? QStringLiteral("sk-or-\u2026") : QStringLiteral("sk-\u2026");
}

QString Provider::titleText() const
{
    return displayName() + QStringLiteral("-Guthaben");
}

QString Provider::keyNote(MoonshotRegion region) const
{
    switch (m_case) {
    case deepseek:
#ifdef Q_OS_MACOS
        return QStringLiteral("Der Key wird nur im macOS-Schlüsselbund gespeichert.");
#else
        // Elsewhere the key goes to the desktop's secret store, which is no macOS keychain.
        return QStringLiteral("Der Key wird nur im Schlüsselbund gespeichert.");
#endif
    case openrouter:
        return QStringLiteral(
            "Für das Guthaben ist ein Management-Key nötig (openrouter.ai \u2192 Keys). "
            "Ein normaler Key zeigt nur das Schlüssel-Limit. "
            "Der Key wird nur im Schlüsselbund gespeichert.");
    case moonshot:
        if (region == MoonshotRegion::china)
            return QStringLiteral("Key aus platform.moonshot.cn (Region China). "
                                  "Der Key wird nur im Schlüsselbund gespeichert.");
        return QStringLiteral("Key aus platform.moonshot.ai (Region International). "
                              "Der Key wird nur im Schlüsselbund gespeichert.");
    }
    Q_UNREACHABLE();
    return {};
}

QString Provider::topUpAddress(MoonshotRegion region) const
{
    switch (m_case) {
    case deepseek:
        return QStringLiteral("https://platform.deepseek.com/top_up");
    case openrouter:
        return QStringLiteral("https://openrouter.ai/settings/credits");
    case moonshot:
        return region == MoonshotRegion::china
            ? QStringLiteral("https://platform.moonshot.cn/console/pay")
            : QStringLiteral("https://platform.moonshot.ai/console/pay");
    }
    Q_UNREACHABLE();
    return {};
}

} // namespace creditgauge
