#include "StateText.h"

#include "core/Format.h"

namespace creditgauge::StateText {
namespace {

QString details(const Balance &balance)
{
    QStringList pieces;
    for (const BalanceDetail &detail : balance.details)
        pieces << detail.name + QLatin1Char(' ')
                + Format::amount(detail.amount, balance.currency, true);
    return pieces.join(QStringLiteral(" \u00b7 "));
}

QString queriedAt(const QDateTime &at)
{
    return QStringLiteral("Zuletzt abgefragt: ") + Format::time(at) + QStringLiteral(" Uhr");
}

} // namespace

Texts texts(const RefreshState &state)
{
    Texts texts {.title = state.account().titleText(),
                 .amount = Format::missingAmount(state.currency()),
                 .time = QStringLiteral("Zuletzt abgefragt: \u2013"),
                 .notices = state.notices};
    switch (state.kind) {
    case RefreshState::Kind::Starting:
        texts.amount = QStringLiteral("\u2013");
        break;
    case RefreshState::Kind::NoKey:
        texts.status = QStringLiteral("Kein API-Key f\u00fcr ") + state.label()
            + QStringLiteral(" hinterlegt.");
        break;
    case RefreshState::Kind::StoreUnavailable:
    case RefreshState::Kind::Waiting:
        texts.status = state.message;
        break;
    case RefreshState::Kind::Failed:
        texts.status = state.message;
        texts.time = queriedAt(state.at) + QStringLiteral(" (fehlgeschlagen)");
        break;
    case RefreshState::Kind::Balance: {
        const Balance &balance = *state.balance;
        texts.amount = Format::amount(balance.total, balance.currency, true);
        texts.details = details(balance);
        texts.status = state.low() ? QStringLiteral("Guthaben knapp \u2014 bitte aufladen.")
                                      : QStringLiteral("Alles in Ordnung.");
        texts.time = queriedAt(state.at);
        texts.forecast = state.forecastLine();
        break;
    }
    }
    return texts;
}

Overview overview(const RefreshState &state)
{
    Overview line {.name = state.label(),
                   .amount = Format::missingAmount(state.currency()),
                   .alarm = state.alarm()};
    QStringList note;
    if (state.kind == RefreshState::Kind::Balance) {
        line.amount = Format::amount(state.balance->total, state.balance->currency, true);
        if (state.forecast)
            note << Forecast::lasts(*state.forecast);
    } else if (!state.message.isEmpty()) {
        note << state.message;
    }
    if (state.at.isValid())
        note << Format::time(state.at) + QStringLiteral(" Uhr");
    line.note = note.join(QStringLiteral(" \u00b7 "));
    return line;
}

QString overviewLine(const RefreshState &state)
{
    const Overview line = overview(state);
    return line.name + QStringLiteral(": ") + line.amount
        + (line.note.isEmpty() ? QString() : QStringLiteral(" \u00b7 ") + line.note);
}

QStringList lines(const RefreshState &state)
{
    const Texts t = texts(state);
    QStringList lines {t.title, t.amount, t.details, t.status, t.time, t.forecast};
    lines << t.notices;
    lines.removeIf([](const QString &line) { return line.trimmed().isEmpty(); });
    return lines;
}

} // namespace creditgauge::StateText
