#pragma once

#include "RefreshState.h"
#include "core/Provider.h"
#include "core/Records.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// The German texts that describe a balance, written once for every front end: the panel, the
// tray's tooltip and menu summary, and the text status bars.
namespace creditgauge::StateText {

// "$ 1.234,50"; without an amount "$ –".
QString amount(const Balance &balance);
QString missingAmount();
// The components, "Aufgeladen $ 25,00 · Verbraucht $ 5,00"; empty without any.
QString details(const Balance &balance);
// "Alles in Ordnung." or, below the low mark, "Guthaben knapp — bitte aufladen."
QString balanceStatus(const Balance &balance);
QString noKeyStatus(Provider provider);
// "Zuletzt abgefragt: 14:05 Uhr", after a failure with " (fehlgeschlagen)"; before any answer
// "Zuletzt abgefragt: –".
QString queriedAt(const QDateTime &at);
QString failedAt(const QDateTime &at);
QString notQueried();

// What the panel shows for `state`, top to bottom, blank lines left out: whose balance, the
// amount, its components, the status, the time of the query, the forecast and the notices.
QStringList lines(const RefreshState &state);

} // namespace creditgauge::StateText
