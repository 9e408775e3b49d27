#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>

namespace creditgauge {

// Moonshot runs two platforms, each with keys, host and currency of its own: a key of one is
// refused by the other. International is the one the program knew first.
enum class MoonshotRegion : std::uint8_t { international, china };
inline constexpr std::array<MoonshotRegion, 2> allMoonshotRegions {MoonshotRegion::international,
                                                                   MoonshotRegion::china};
// "international", "china"; the exact text or nothing, as for providers.
QString rawValue(MoonshotRegion region);
std::optional<MoonshotRegion> moonshotRegionFromRawValue(QStringView raw);
QString displayName(MoonshotRegion region);

struct ProviderDescription;

// The closed set of API providers the application can watch. A plain value: copy it freely.
// What each one is (texts, endpoints, how its answers read) is its description.
class Provider
{
public:
    enum Case : std::uint8_t { deepseek, openrouter, moonshot, siliconflow, stepfun, novita, relay };

    constexpr Provider(Case c) noexcept
        : m_case(c)
    { }

    // Exact, case-sensitive match of the whole text; anything else gives nothing.
    static std::optional<Provider> fromRawValue(QStringView raw);
    static constexpr std::array<Provider, 7> allCases()
    {
        return {deepseek, openrouter, moonshot, siliconflow, stepfun, novita, relay};
    }

    constexpr Case value() const noexcept { return m_case; }
    const ProviderDescription &description() const;

    QString rawValue() const;
    QString displayName() const;
    QString initials() const;
    QString keychainAccount() const;
    QString keyPlaceholder() const;
    QString titleText() const;
    // The region matters for Moonshot only. The provider does not carry it: its value names
    // the key's entry and the stored choice, which both regions share.
    QString keyNote(MoonshotRegion region = MoonshotRegion::international) const;
    // What its amounts are in ("USD", "CNY"), known before any answer.
    QString currency(MoonshotRegion region = MoonshotRegion::international) const;

    friend constexpr bool operator==(Provider, Provider) noexcept = default;

private:
    Case m_case;
};

inline size_t qHash(Provider p, size_t seed = 0) noexcept
{
    return qHash(p.rawValue(), seed);
}

} // namespace creditgauge
