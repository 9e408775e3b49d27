// Any amount, any currency code, with and without cents: the German text comes out whole.
#include "core/Format.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace creditgauge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < sizeof(double) + 1)
        return 0;
    double value;
    std::memcpy(&value, data, sizeof value);
    const bool cents = data[sizeof value] & 1;
    const QString currency
        = QString::fromUtf8(reinterpret_cast<const char *>(data) + sizeof value + 1,
                            qsizetype(size - sizeof value - 1));

    const QString text = Format::amount(value, currency, cents);
    const QString prefix = Format::symbol(currency) + QLatin1Char(' ');
    if (!text.startsWith(prefix)
        || Format::title(value, currency) != Format::amount(value, currency, false))
        std::abort();
    if (std::isfinite(value)) {
        // Digits, the German separators and a leading minus; never an exponent.
        const QStringView number = QStringView(text).sliced(prefix.size());
        for (qsizetype i = 0; i < number.size(); ++i) {
            const QChar c = number[i];
            if (!(c.isDigit() || c == u'.' || c == u',' || (c == u'-' && i == 0)))
                std::abort();
        }
        if (cents != number.contains(u','))
            std::abort();
    }
    return 0;
}
