#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// German texts for amounts and clock times, whatever the system's locale.
namespace creditgauge::Format {

// The fixed de_DE locale every operation formats with.
const QLocale &locale();

// "USD" -> "$", "EUR" -> "€", "CNY"/"RMB" -> "¥" in any letter case; any other code unchanged.
QString symbol(const QString &currency);

// The symbol, one space, and the amount in German notation, with two decimals when `cents`
// is set and none otherwise; ties round away from zero. Not-a-number reads "–", infinities
// "∞" and "-∞".
QString amount(double value, const QString &currency, bool cents);

// The short form of the tray title: amount() without cents.
QString title(double value, const QString &currency);

// "$ –": the amount while there is none, in the tray and the panel, with the symbol of the
// currency it will come in.
QString missingAmount(const QString &currency = QStringLiteral("USD"));

// Local clock time as "HH:mm".
QString time(const QDateTime &at);

} // namespace creditgauge::Format
