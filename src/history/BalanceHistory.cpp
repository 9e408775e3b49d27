#include "BalanceHistory.h"

#include "core/Log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTimeZone>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

namespace creditgauge {
namespace {

using namespace std::chrono_literals;

// Two processes that ask at the same moment (at start, after a wake) see the same answer.
constexpr auto sameObservation = 60s;

QString figureName(BalanceFigure figure)
{
    return figure == BalanceFigure::KeyLimit ? QStringLiteral("key-limit")
                                             : QStringLiteral("credit");
}

QString detailsJson(const QList<BalanceDetail> &details)
{
    QJsonArray array;
    for (const BalanceDetail &d : details)
        array.append(
            QJsonObject {{QStringLiteral("name"), d.name}, {QStringLiteral("amount"), d.amount}});
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QList<BalanceDetail> detailsFrom(const QString &json)
{
    QList<BalanceDetail> details;
    for (const QJsonValue &v : QJsonDocument::fromJson(json.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        details.append({o.value(QStringLiteral("name")).toString(),
                        o.value(QStringLiteral("amount")).toDouble()});
    }
    return details;
}

// Rows written before the figure was kept (or by an older program beside this one) carry none;
// OpenRouter's key limit was then recognisable by its component.
BalanceFigure figureOf(const QVariant &stored, const QList<BalanceDetail> &details)
{
    if (!stored.isNull())
        return stored.toString() == u"key-limit" ? BalanceFigure::KeyLimit : BalanceFigure::Credit;
    const bool keyLimit = std::ranges::any_of(
        details, [](const BalanceDetail &d) { return d.name == u"Key-Limit"; });
    return keyLimit ? BalanceFigure::KeyLimit : BalanceFigure::Credit;
}

BalanceSample sampleFrom(const QSqlQuery &q)
{
    QList<BalanceDetail> details = detailsFrom(q.value(3).toString());
    const BalanceFigure figure = figureOf(q.value(4), details);
    return {QDateTime::fromMSecsSinceEpoch(q.value(0).toLongLong(), Qt::UTC),
            Balance {q.value(1).toString(), q.value(2).toDouble(), std::move(details), figure}};
}

// Runs `sql` with the values bound in order; false (and the error logged) when it fails.
bool run(QSqlQuery &q, const QString &sql, const QVariantList &values = {})
{
    if (!q.prepare(sql)) {
        qCDebug(log::history).noquote() << "cannot prepare:" << q.lastError().text();
        return false;
    }
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec()) {
        qCDebug(log::history).noquote() << "failed:" << q.lastError().text();
        return false;
    }
    return true;
}

QString defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/creditgauge/history.sqlite");
}

} // namespace

BalanceHistory::BalanceHistory(const QString &path)
    : m_file(path.isEmpty() ? defaultPath() : path)
{ }

BalanceHistory::~BalanceHistory()
{
    if (!m_pending.isEmpty())
        flush();
}

bool BalanceHistory::isAvailable()
{
    return m_file.ensureOpen();
}

bool BalanceHistory::record(const QString &account, const Balance &balance, const QDateTime &at)
{
    // Infinity and NaN are shown as the provider sent them, but are no amount to keep.
    if (!std::isfinite(balance.total))
        return writePending();
    m_pending.append({account, {at.toUTC(), balance}});
    if (m_pending.size() > pendingLimit) {
        qCDebug(log::history) << "the oldest unwritten row is given up";
        m_pending.removeFirst();
    }
    return writePending();
}

bool BalanceHistory::flush()
{
    return writePending();
}

bool BalanceHistory::writePending()
{
    if (m_pending.isEmpty())
        return true;
    if (!m_file.ensureOpen())
        return false;
    QSqlQuery q(m_file.database());
    const qint64 window = std::chrono::milliseconds(sameObservation).count();
    const QString insert = m_file.hasFigure()
        ? QStringLiteral("INSERT INTO balances (at, provider, currency, total, details, figure)"
                         " VALUES (?, ?, ?, ?, ?, ?)")
        : QStringLiteral("INSERT INTO balances (at, provider, currency, total, details)"
                         " VALUES (?, ?, ?, ?, ?)");
    // IMMEDIATE: the write lock is taken (or waited for) before the look for the same
    // observation, so two writers cannot both decide to insert it.
    bool ok = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
    for (const Row &row : std::as_const(m_pending)) {
        if (!ok)
            break;
        const Balance &b = row.sample.balance;
        const qint64 ms = row.sample.at.toMSecsSinceEpoch();
        const QString details = detailsJson(b.details);
        ok = run(q,
                 QStringLiteral("SELECT 1 FROM balances WHERE provider = ? AND at BETWEEN ? AND ?"
                                " AND currency = ? AND total = ? AND details = ?"),
                 {row.account, ms - window, ms + window, b.currency, b.total, details});
        const bool seen = ok && q.next();
        QVariantList values {ms, row.account, b.currency, b.total, details};
        if (m_file.hasFigure())
            values << figureName(b.figure);
        if (ok && !seen)
            ok = run(q, insert, values);
        qCDebug(log::history) << (seen ? "already kept:" : "kept:") << row.account << b.total
                              << b.currency;
    }
    // Old rows go when the limit has moved on by a day, account by account (those removed
    // too) so that the index serves instead of a pass over the whole table.
    const qint64 cutoff = m_pending.constLast().sample.at.addDays(-keptDays).toMSecsSinceEpoch();
    const bool prune = !m_prunedBefore || cutoff - *m_prunedBefore >= 24 * 3600 * 1000;
    QStringList accounts;
    if (ok && prune && (ok = run(q, QStringLiteral("SELECT DISTINCT provider FROM balances"), {})))
        while (q.next())
            accounts << q.value(0).toString();
    for (const QString &account : std::as_const(accounts)) {
        if (ok)
            ok = run(q, QStringLiteral("DELETE FROM balances WHERE provider = ? AND at < ?"),
                     {account, cutoff});
    }
    if (ok)
        ok = q.exec(QStringLiteral("COMMIT"));
    if (!ok) {
        const QSqlError error = q.lastError();
        q.exec(QStringLiteral("ROLLBACK"));
        m_file.failed(error);
        return false;
    }
    if (prune)
        m_prunedBefore = cutoff;
    m_file.written();
    m_pending.clear();
    return true;
}

BalanceHistory::Recent BalanceHistory::keep(const QString &account, const Balance &balance,
                                            const QDateTime &at, int days)
{
    record(account, balance, at);
    Recent recent {samples(account, at.addDays(-days), true), std::nullopt};
    if (std::isfinite(balance.total))
        recent.forecast = Forecast::compute(recent.samples, at);
    return recent;
}

QList<BalanceSample> BalanceHistory::samples(const QString &account, const QDateTime &since,
                                             bool withPreceding)
{
    QList<BalanceSample> result;
    std::optional<BalanceSample> preceding;
    const qint64 from = since.toMSecsSinceEpoch();
    if (m_file.ensureOpen()) {
        QSqlQuery q(m_file.database());
        q.setForwardOnly(true);
        const QString columns = m_file.hasFigure()
            ? QStringLiteral("SELECT at, currency, total, details, figure FROM balances")
            : QStringLiteral("SELECT at, currency, total, details, NULL FROM balances");
        if (withPreceding
            && run(q,
                   columns
                       + QStringLiteral(" WHERE provider = ? AND at < ? ORDER BY at DESC LIMIT 1"),
                   {account, from})
            && q.next())
            preceding = sampleFrom(q);
        if (run(q, columns + QStringLiteral(" WHERE provider = ? AND at >= ? ORDER BY at, id"),
                {account, from})) {
            while (q.next())
                result.append(sampleFrom(q));
        }
    }
    // What waits to be written belongs to the history all the same.
    bool waiting = false;
    for (const Row &row : std::as_const(m_pending)) {
        if (row.account != account)
            continue;
        if (row.sample.at >= since) {
            result.append(row.sample);
            waiting = true;
        } else if (withPreceding && (!preceding || preceding->at < row.sample.at)) {
            preceding = row.sample;
        }
    }
    if (waiting)
        std::ranges::stable_sort(result, {}, &BalanceSample::at);
    if (preceding)
        result.prepend(*preceding);
    return result;
}

bool BalanceHistory::flag(const QString &name)
{
    if (!m_file.ensureOpen())
        return m_memoryFlags.value(name);
    QSqlQuery q(m_file.database());
    if (run(q, QStringLiteral("SELECT value FROM flags WHERE name = ?"), {name}) && q.next())
        return q.value(0).toBool();
    return m_memoryFlags.value(name);
}

void BalanceHistory::setFlag(const QString &name, bool on)
{
    m_memoryFlags.insert(name, on);
    if (!m_file.ensureOpen())
        return;
    QSqlQuery q(m_file.database());
    run(q,
        QStringLiteral("INSERT INTO flags (name, value) VALUES (?, ?)"
                       " ON CONFLICT(name) DO UPDATE SET value = excluded.value"),
        {name, on ? 1 : 0});
}

} // namespace creditgauge
