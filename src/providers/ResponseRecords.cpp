#include "ResponseRecords.h"

#include <QJsonArray>
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

// Reads one field from a JSON object. Absent (missing or null) leaves the field absent and is
// fine; a present value of the wrong type fails the whole record.
class Reader
{
public:
    explicit Reader(const QJsonObject &object)
        : m_object(object)
    { }

    bool ok() const { return m_ok; }

    void string(const char *key, std::optional<QString> &out)
    {
        const QJsonValue v = value(key);
        if (v.isUndefined() || v.isNull())
            return;
        if (!v.isString())
            return fail();
        out = v.toString();
    }

    void boolean(const char *key, std::optional<bool> &out)
    {
        const QJsonValue v = value(key);
        if (v.isUndefined() || v.isNull())
            return;
        if (!v.isBool())
            return fail();
        out = v.toBool();
    }

    void integer(const char *key, std::optional<std::int64_t> &out)
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

    void amount(const char *key, std::optional<LB> &out)
    {
        const QJsonValue v = value(key);
        if (v.isUndefined() || v.isNull())
            return;
        out = LB::decode(v);
    }

    template<typename T>
    void object(const char *key, std::optional<T> &out, bool (*decode)(const QJsonObject &, T &))
    {
        const QJsonValue v = value(key);
        if (v.isUndefined() || v.isNull())
            return;
        T record;
        if (!v.isObject() || !decode(v.toObject(), record))
            return fail();
        out = std::move(record);
    }

    template<typename T>
    void array(const char *key, std::optional<QList<T>> &out,
               bool (*decode)(const QJsonObject &, T &))
    {
        const QJsonValue v = value(key);
        if (v.isUndefined() || v.isNull())
            return;
        if (!v.isArray())
            return fail();
        QList<T> list;
        for (const QJsonValue element : v.toArray()) {
            T record;
            if (!element.isObject() || !decode(element.toObject(), record))
                return fail();
            list.append(std::move(record));
        }
        out = std::move(list);
    }

private:
    QJsonValue value(const char *key) const { return m_object.value(QLatin1StringView(key)); }
    void fail() { m_ok = false; }

    const QJsonObject &m_object;
    bool m_ok = true;
};

bool decodeDSInfo(const QJsonObject &o, DSInfo &out)
{
    Reader r(o);
    r.string("currency", out.currency);
    r.amount("total_balance", out.totalBalance);
    r.amount("granted_balance", out.grantedBalance);
    r.amount("topped_up_balance", out.toppedUpBalance);
    return r.ok();
}

bool decodeDSResponse(const QJsonObject &o, DSResponse &out)
{
    Reader r(o);
    r.boolean("is_available", out.isAvailable);
    r.array("balance_infos", out.balanceInfos, &decodeDSInfo);
    return r.ok();
}

bool decodeORCreditsInner(const QJsonObject &o, ORCredits::Inner &out)
{
    Reader r(o);
    r.amount("total_credits", out.totalCredits);
    r.amount("total_usage", out.totalUsage);
    return r.ok();
}

bool decodeORCredits(const QJsonObject &o, ORCredits &out)
{
    Reader r(o);
    r.object("data", out.data, &decodeORCreditsInner);
    return r.ok();
}

bool decodeORKeyInner(const QJsonObject &o, ORKey::Inner &out)
{
    Reader r(o);
    r.amount("usage", out.usage);
    r.amount("limit", out.limit);
    r.amount("limit_remaining", out.limitRemaining);
    return r.ok();
}

bool decodeORKey(const QJsonObject &o, ORKey &out)
{
    Reader r(o);
    r.object("data", out.data, &decodeORKeyInner);
    return r.ok();
}

bool decodeMSInner(const QJsonObject &o, MSResponse::Inner &out)
{
    Reader r(o);
    r.amount("available_balance", out.availableBalance);
    r.amount("voucher_balance", out.voucherBalance);
    r.amount("cash_balance", out.cashBalance);
    return r.ok();
}

bool decodeMSResponse(const QJsonObject &o, MSResponse &out)
{
    Reader r(o);
    r.integer("code", out.code);
    r.object("data", out.data, &decodeMSInner);
    return r.ok();
}

template<typename T>
std::optional<T> decodeTopLevel(const QByteArray &body, bool (*decode)(const QJsonObject &, T &))
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    T record;
    if (!decode(doc.object(), record))
        return std::nullopt;
    return record;
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

std::optional<DSResponse> DSResponse::decode(const QByteArray &body)
{
    return decodeTopLevel<DSResponse>(body, &decodeDSResponse);
}

std::optional<ORCredits> ORCredits::decode(const QByteArray &body)
{
    return decodeTopLevel<ORCredits>(body, &decodeORCredits);
}

std::optional<ORKey> ORKey::decode(const QByteArray &body)
{
    return decodeTopLevel<ORKey>(body, &decodeORKey);
}

std::optional<MSResponse> MSResponse::decode(const QByteArray &body)
{
    return decodeTopLevel<MSResponse>(body, &decodeMSResponse);
}

} // namespace creditgauge
