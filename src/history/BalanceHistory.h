#pragma once

#include "Forecast.h"
#include "HistoryFile.h"
#include "core/Provider.h"
#include "core/Records.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace creditgauge {

// Every balance a query brought, kept in a local SQLite database (a HistoryFile), so that the
// program can say how long the credit lasts. Several processes of the user (the tray and a
// status bar) may write at once; each transaction is short, so a killed process loses at most
// what it was writing. While the file cannot be written (another writer holds it, the disk is
// full, ...) the rows wait in memory until a later write succeeds. Nothing here is needed for
// a balance to show, and nothing here waits long: a writer that holds the lock is waited for a
// moment, then the row waits for the next time.
class BalanceHistory
{
public:
    static constexpr int keptDays = 400;
    // Rows kept in memory while the file cannot be written: three weeks of half-hourly
    // answers; beyond that the oldest go.
    static constexpr int pendingLimit = 1000;

    // `path` empty: $XDG_DATA_HOME/creditgauge/history.sqlite. Opened on first use.
    explicit BalanceHistory(const QString &path = {});
    // Writes what still waits, if it can.
    ~BalanceHistory();
    BalanceHistory(const BalanceHistory &) = delete;
    BalanceHistory &operator=(const BalanceHistory &) = delete;

    // Keeps the balance seen at `at`, together with any that still wait. The same balance of
    // the same account kept less than a minute before (by this or another process, from the
    // same answer or one just like it) is one observation and is not kept twice. Rows older
    // than keptDays go (whenever that limit has moved on by a day). Only finite totals are kept.
    // False when the rows could not be written now; they wait in memory for the next call.
    bool record(const QString &account, const Balance &balance, const QDateTime &at);
    // Writes what waits; true when nothing waits any more.
    bool flush();

    // What a view of a balance just seen needs: the account's samples over the last days,
    // beginning with the newest one before them, and the forecast they allow.
    struct Recent
    {
        QList<BalanceSample> samples;
        std::optional<SpendingForecast> forecast;
    };
    // Keeps the balance first (as record() does), so that the forecast includes it; one read
    // serves the chart's days and the forecast's week within them. Infinity and NaN are
    // neither kept nor read as a pace.
    Recent keep(const QString &account, const Balance &balance, const QDateTime &at, int days);

    // The account's samples from `since` on, oldest first, including those still waiting to
    // be written; with `withPreceding`, also the newest one before `since`, where a line
    // through the period starts.
    QList<BalanceSample> samples(const QString &account, const QDateTime &since,
                                 bool withPreceding = false);
    // A provider's first account, whose rows carry the provider's raw value.
    QList<BalanceSample> samples(Provider provider, const QDateTime &since,
                                 bool withPreceding = false)
    {
        return samples(provider.rawValue(), since, withPreceding);
    }
    bool record(Provider provider, const Balance &balance, const QDateTime &at)
    {
        return record(provider.rawValue(), balance, at);
    }

    // Why the last write failed, in German ("der Datenträger ist voll"); empty when it
    // succeeded or only had to wait for another writer.
    QString writeProblem() const { return m_file.problem(); }

    // Small named facts that must outlive the process (which alerts were given).
    bool flag(const QString &name);
    void setFlag(const QString &name, bool on);

    // Whether the database is usable (opens it on first call).
    bool isAvailable();

private:
    struct Row
    {
        QString account; // its id; a provider's first account's is the provider's raw value
        BalanceSample sample;
    };

    bool writePending();

    HistoryFile m_file;
    QList<Row> m_pending;
    std::optional<qint64> m_prunedBefore; // the limit of the last removal of old rows
    QHash<QString, bool> m_memoryFlags;
};

} // namespace creditgauge
