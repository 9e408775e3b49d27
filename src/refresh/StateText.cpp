#include "StateText.h"

#include "core/Format.h"

namespace creditgauge::StateText {

QString amount(const Balance &balance)
{
    return Format::amount(balance.total, balance.currency, true);
}

QString missingAmount()
{
    return Format::symbol(QStringLiteral("USD")) + QStringLiteral(" \u2013");
}

QString details(const Balance &balance)
{
    QStringList pieces;
    for (const BalanceDetail &detail : balance.details)
        pieces << detail.name + QLatin1Char(' ')
                + Format::amount(detail.amount, balance.currency, true);
    return pieces.join(QStringLiteral(" \u00b7 "));
}

QString balanceStatus(const Balance &balance)
{
    return isLow(balance) ? QStringLiteral("Guthaben knapp \u2014 bitte aufladen.")
                          : QStringLiteral("Alles in Ordnung.");
}

QString noKeyStatus(Provider provider)
{
    return QStringLiteral("Kein API-Key f\u00fcr ") + provider.displayName()
        + QStringLiteral(" hinterlegt.");
}

QString queriedAt(const QDateTime &at)
{
    return QStringLiteral("Zuletzt abgefragt: ") + Format::time(at) + QStringLiteral(" Uhr");
}

QString failedAt(const QDateTime &at)
{
    return queriedAt(at) + QStringLiteral(" (fehlgeschlagen)");
}

QString notQueried()
{
    return QStringLiteral("Zuletzt abgefragt: \u2013");
}

QStringList lines(const RefreshState &state)
{
    QStringList lines {state.provider.titleText()};
    switch (state.kind) {
    case RefreshState::Kind::Starting:
        lines << QStringLiteral("\u2013") << notQueried();
        break;
    case RefreshState::Kind::NoKey:
        lines << missingAmount() << noKeyStatus(state.provider) << notQueried();
        break;
    case RefreshState::Kind::StoreUnavailable:
        lines << missingAmount() << state.message << notQueried();
        break;
    case RefreshState::Kind::Failed:
        lines << missingAmount() << state.message << failedAt(state.at);
        break;
    case RefreshState::Kind::Balance:
        lines << amount(*state.balance) << details(*state.balance) << balanceStatus(*state.balance)
              << queriedAt(state.at) << state.forecastLine();
        break;
    }
    lines << state.notices;
    lines.removeIf([](const QString &line) { return line.trimmed().isEmpty(); });
    return lines;
}

} // namespace creditgauge::StateText
