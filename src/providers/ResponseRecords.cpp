#include "ResponseRecords.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#if __has_include(<xlocale.h>)
#include <xlocale.h> // strtod_l and newlocale on macOS
#endif

namespace creditgauge {
namespace {

// strtod() follows the process locale once a QCoreApplication has set it (under de_DE "12.5"
// would read as 12), so numeric texts are parsed against a fixed "C" locale. Unlike
// std::from_chars this keeps strtod's hexadecimal, infinity and NaN forms.
#if defined(_WIN32)
using CLocale = _locale_t;
CLocale makeCLocale()
{
    return _create_locale(LC_NUMERIC, "C");
}
double strtodC(const char *text, char **end, CLocale loc)
{
    return _strtod_l(text, end, loc);
}
#else
using CLocale = locale_t;
CLocale makeCLocale()
{
    return newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
}
double strtodC(const char *text, char **end, CLocale loc)
{
    return strtod_l(text, end, loc);
}
#endif

CLocale cLocale()
{
    static const CLocale loc = makeCLocale(); // created once, never freed: lives with the process
    return loc;
}

std::optional<double> parseNumericText(QString text)
{
    text.replace(QLatin1Char(','), QLatin1Char('.'));
    if (text.isEmpty())
        return std::nullopt;
    switch (text.front().unicode()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
        return std::nullopt; // strtod would skip these; an amount must start with the number
    default:
        break;
    }
    const QByteArray bytes = text.toUtf8();
    const char *begin = bytes.constData();
    char *end = nullptr;
    errno = 0;
    const double value = strtodC(begin, &end, cLocale());
    if (end != begin + bytes.size())
        return std::nullopt; // trailing text, or an embedded NUL
    // A text beyond the range of a double is no amount anyone has; an underflow is zero-ish
    // and kept as strtod gives it.
    if (errno == ERANGE && std::isinf(value))
        return std::nullopt;
    return value;
}

// A thousand trillion in any currency is no balance anyone has. Taken as it came, such an
// amount would be written out digit by digit (1e300 takes 400 characters) into the panel,
// the tooltip and the title.
std::optional<double> plausible(std::optional<double> amount)
{
    constexpr double largest = 1e15;
    if (amount && std::isfinite(*amount) && std::fabs(*amount) >= largest)
        return std::nullopt;
    return amount;
}

} // namespace

LB LB::decode(const QJsonValue &json)
{
    if (json.isDouble())
        return {plausible(json.toDouble())};
    if (json.isString())
        return {plausible(parseNumericText(json.toString()))};
    return {};
}

void JsonReader::string(const char *key, std::optional<QString> &out)
{
    const QJsonValue v = value(key);
    if (v.isUndefined() || v.isNull())
        return;
    if (!v.isString())
        return fail();
    out = v.toString();
}

void JsonReader::boolean(const char *key, std::optional<bool> &out)
{
    const QJsonValue v = value(key);
    if (v.isUndefined() || v.isNull())
        return;
    if (!v.isBool())
        return fail();
    out = v.toBool();
}

void JsonReader::integer(const char *key, std::optional<std::int64_t> &out)
{
    const QJsonValue v = value(key);
    if (v.isUndefined() || v.isNull())
        return;
    if (!v.isDouble())
        return fail();
    // Integral literals that fit 64 bits arrive exactly; anything else as a double, which
    // must still hold a whole number inside the 64-bit range.
    const QVariant variant = v.toVariant();
    if (variant.typeId() == QMetaType::LongLong) {
        out = variant.toLongLong();
        return;
    }
    const double d = v.toDouble();
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (!std::isfinite(d) || std::trunc(d) != d || d < -limit || d >= limit)
        return fail();
    out = static_cast<std::int64_t>(d);
}

void JsonReader::amount(const char *key, std::optional<LB> &out)
{
    const QJsonValue v = value(key);
    if (v.isUndefined() || v.isNull())
        return;
    out = LB::decode(v);
}

std::optional<QJsonObject> topLevelObject(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

} // namespace creditgauge
