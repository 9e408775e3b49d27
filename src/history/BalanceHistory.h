#pragma once

#include "core/Provider.h"
#include "core/Records.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

class QSqlDatabase;
class QSqlError;

namespace creditgauge {

// Every balance a query brought, kept in a local SQLite database, so that the program can say
// how long the credit lasts. Several processes of the user (the tray and a status bar) may
// write at once; each transaction is a single row, so a killed process loses at most the row it
// was writing. A file that SQLite cannot use is moved aside, kept, and a fresh one started.
// Nothing here is needed for a balance to show: when the database cannot be used at all, the
// history is empty and the flags live in memory.
class BalanceHistory
{
public:
    static constexpr int schemaVersion = 1;
    static constexpr int keptDays = 400;

    // `path` empty: $XDG_DATA_HOME/creditgauge/history.sqlite. Opened on first use.
    explicit BalanceHistory(const QString &path = {});
    ~BalanceHistory();
    BalanceHistory(const BalanceHistory &) = delete;
    BalanceHistory &operator=(const BalanceHistory &) = delete;

    static QString defaultPath();
    QString path() const { return m_path; }

    // Keeps the balance seen at `at`. The same balance of the same provider kept less than a
    // minute before (by this or another process, from the same answer or one just like it) is
    // one observation and is not kept twice. Rows older than keptDays go at the same time.
    // False when the database cannot be written.
    bool record(Provider provider, const Balance &balance, const QDateTime &at);

    // The provider's samples from `since` on, oldest first; with `withPreceding`, also the
    // newest one before `since`, where a line through the period starts.
    QList<BalanceSample> samples(Provider provider, const QDateTime &since,
                                 bool withPreceding = false);

    // Small named facts that must outlive the process (which alerts were given).
    bool flag(const QString &name);
    void setFlag(const QString &name, bool on);

    // Whether the database is usable (opens it on first call).
    bool isAvailable();

private:
    bool ensureOpen();
    bool openOnce();
    void prepare(QSqlDatabase &db, QSqlError &failure, QString &damage, bool &newer);
    void close();
    void moveAside(const QString &reason);

    QString m_path;
    QString m_connection;
    bool m_opened = false;
    QHash<QString, bool> m_memoryFlags;
};

} // namespace creditgauge
