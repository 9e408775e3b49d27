#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>

namespace creditgauge {

// The closed set of API providers the application can watch. A plain value: copy it freely.
class Provider
{
public:
    enum Case : std::uint8_t { deepseek, openrouter, moonshot };

    constexpr Provider(Case c) noexcept
        : m_case(c)
    { }

    // Exact, case-sensitive match of the whole text; anything else gives nothing.
    static std::optional<Provider> fromRawValue(QStringView raw);
    static constexpr std::array<Provider, 3> allCases() { return {deepseek, openrouter, moonshot}; }

    constexpr Case value() const noexcept { return m_case; }

    QString rawValue() const;
    QString displayName() const;
    QString keychainAccount() const;
    QString keyPlaceholder() const;
    QString titleText() const;
    QString keyNote() const;
    // The provider's own page for adding credit (always HTTPS).
    QString topUpAddress() const;

    friend constexpr bool operator==(Provider, Provider) noexcept = default;

private:
    Case m_case;
};

inline size_t qHash(Provider p, size_t seed = 0) noexcept
{
    return qHash(p.rawValue(), seed);
}

} // namespace creditgauge
