#include "Format.h"

#include <cmath>

namespace creditgauge::Format {
namespace {

QString number(double value, int decimals)
{
    if (std::isnan(value))
        return QStringLiteral("\u2013");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("\u221e") : QStringLiteral("-\u221e");

    // 'f' keeps every integer digit; Qt's default format would switch to exponents.
    QString text = locale().toString(value, 'f', decimals);
    // A small negative amount that rounds to zero reads as zero, not "-0,00".
    if (text.startsWith(QLatin1Char('-'))) {
        bool allZero = true;
        for (const QChar c : text) {
            if (c.isDigit() && c != QLatin1Char('0'))
                allZero = false;
        }
        if (allZero)
            text.remove(0, 1);
    }
    return text;
}

} // namespace

const QLocale &locale()
{
    static const QLocale german(QLocale::German, QLocale::Germany);
    return german;
}

QString symbol(const QString &currency)
{
    const QString code = currency.toUpper();
    if (code == u"USD")
        return QStringLiteral("$");
    if (code == u"EUR")
        return QStringLiteral("\u20ac");
    if (code == u"CNY" || code == u"RMB")
        return QStringLiteral("\u00a5");
    return currency;
}

QString missingAmount(const QString &currency)
{
    return symbol(currency) + QStringLiteral(" \u2013");
}

QString amount(double value, const QString &currency, bool cents)
{
    return symbol(currency) + QLatin1Char(' ') + number(value, cents ? 2 : 0);
}

QString title(double value, const QString &currency)
{
    return amount(value, currency, false);
}

QString time(const QDateTime &at)
{
    return locale().toString(at.toLocalTime().time(), QStringLiteral("HH:mm"));
}

} // namespace creditgauge::Format
