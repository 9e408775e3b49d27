#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// The providers' JSON answers. Amounts are lenient (a number or a numeric text, with a decimal
// point or comma, and never a reason to reject an answer); every other field must carry its
// exact JSON type, or the whole answer is unreadable. A missing key and null both mean absent.
namespace creditgauge {

// A lenient amount: `value` is absent when the JSON value was not a readable number.
struct LB
{
    std::optional<double> value;

    static LB decode(const QJsonValue &json);
};

// The amount of an optional amount field, when there is one.
inline std::optional<double> amountOf(const std::optional<LB> &field)
{
    return field ? field->value : std::nullopt;
}

// Reads one field at a time from a JSON object. Absent (missing or null) leaves the field absent
// and is fine; a present value of the wrong type fails the whole record.
class JsonReader
{
public:
    explicit JsonReader(const QJsonObject &object)
        : m_object(object)
    { }

    bool ok() const { return m_ok; }

    void string(const char *key, std::optional<QString> &out);
    void boolean(const char *key, std::optional<bool> &out);
    // A whole number within 64 bits; a fraction or a numeric text fails.
    void integer(const char *key, std::optional<std::int64_t> &out);
    void amount(const char *key, std::optional<LB> &out);

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

// The top-level JSON object of a body; nothing when the body is no JSON object.
std::optional<QJsonObject> topLevelObject(const QByteArray &body);

// A whole answer as record T, read by `decode`; nothing when any field has the wrong type.
template<typename T>
std::optional<T> decodeAnswer(const QByteArray &body, bool (*decode)(const QJsonObject &, T &))
{
    const std::optional<QJsonObject> object = topLevelObject(body);
    T record;
    if (!object || !decode(*object, record))
        return std::nullopt;
    return record;
}

} // namespace creditgauge
