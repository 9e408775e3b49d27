#pragma once

#include <QByteArray>
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

struct DSInfo
{
    std::optional<QString> currency;
    std::optional<LB> totalBalance;
    std::optional<LB> grantedBalance;
    std::optional<LB> toppedUpBalance;
};

struct DSResponse
{
    std::optional<bool> isAvailable;
    std::optional<QList<DSInfo>> balanceInfos;

    static std::optional<DSResponse> decode(const QByteArray &body);
};

struct ORCredits
{
    struct Inner
    {
        std::optional<LB> totalCredits;
        std::optional<LB> totalUsage;
    };
    std::optional<Inner> data;

    static std::optional<ORCredits> decode(const QByteArray &body);
};

struct ORKey
{
    struct Inner
    {
        std::optional<LB> usage;
        std::optional<LB> limit;
        std::optional<LB> limitRemaining;
    };
    std::optional<Inner> data;

    static std::optional<ORKey> decode(const QByteArray &body);
};

struct MSResponse
{
    struct Inner
    {
        std::optional<LB> availableBalance;
        std::optional<LB> voucherBalance;
        std::optional<LB> cashBalance;
    };
    std::optional<std::int64_t> code; // read, but never consulted
    std::optional<Inner> data;

    static std::optional<MSResponse> decode(const QByteArray &body);
};

} // namespace creditgauge
