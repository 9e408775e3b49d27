#include "BalanceHistory.h"

#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QTimeZone>
#include <QUuid>
#include <QVariant>

#include <chrono>

namespace creditgauge {
namespace {

using namespace std::chrono_literals;

// Two processes that ask at the same moment (at start, after a wake) see the same answer.
constexpr auto sameObservation = 60s;
// A writer waits this long for another to finish its one-row transaction.
constexpr int busyTimeoutMs = 5000;

int primaryCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    return ok ? code : -1;
}

// SQLite's own result codes for a file that is not (or no longer) a usable database.
bool isDamage(const QSqlError &error)
{
    constexpr int ioError = 10, corrupt = 11, cantOpen = 14, notADatabase = 26;
    const int code = primaryCode(error);
    return code == corrupt || code == notADatabase || code == ioError || code == cantOpen;
}

// Another process holds the lock. Setting up a new file (the switch to WAL) needs it alone,
// and SQLite does not wait for that by itself.
bool isBusy(const QSqlError &error)
{
    constexpr int busy = 5, locked = 6;
    const int code = primaryCode(error);
    return code == busy || code == locked;
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

BalanceSample sampleFrom(const QSqlQuery &q)
{
    return {
        QDateTime::fromMSecsSinceEpoch(q.value(0).toLongLong(), Qt::UTC),
        Balance {q.value(1).toString(), q.value(2).toDouble(), detailsFrom(q.value(3).toString())}};
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

} // namespace

BalanceHistory::BalanceHistory(const QString &path)
    : m_path(path.isEmpty() ? defaultPath() : path)
    , m_connection(QStringLiteral("creditgauge-history-")
                   + QUuid::createUuid().toString(QUuid::WithoutBraces))
{ }

BalanceHistory::~BalanceHistory()
{
    close();
}

QString BalanceHistory::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/creditgauge/history.sqlite");
}

void BalanceHistory::close()
{
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    m_opened = false;
}

bool BalanceHistory::isAvailable()
{
    return ensureOpen();
}

bool BalanceHistory::ensureOpen()
{
    return m_opened || openOnce();
}

// Opens, checks and, on first use, creates the database. A file SQLite calls damaged is moved
// aside and a fresh one started in its place, once per attempt; a busy or unwritable one is
// left alone and tried again next time.
bool BalanceHistory::openOnce()
{
    int busyTries = busyTimeoutMs / 50;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
            return false;
        QSqlError failure;
        QString damage;
        bool newer = false;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
            db.setDatabaseName(m_path);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
            if (!db.open())
                failure = db.lastError();
            else
                prepare(db, failure, damage, newer);
        }
        if (!failure.isValid() && damage.isEmpty() && !newer) {
            m_opened = true;
            return true;
        }
        close();
        if (newer)
            return false;
        if (isBusy(failure) && busyTries-- > 0) {
            QThread::msleep(50);
            --attempt;
            continue;
        }
        if (damage.isEmpty() && isDamage(failure) && QFileInfo::exists(m_path))
            damage = failure.text();
        if (damage.isEmpty()) {
            qCDebug(log::history).noquote() << "cannot open" << m_path << ":" << failure.text();
            return false;
        }
        moveAside(damage);
    }
    return false;
}

// Checks an open database and creates the tables the first time. Sets `failure` when SQLite
// refused, `damage` when the file is not sound, `newer` when a later version of the program
// owns its layout.
void BalanceHistory::prepare(QSqlDatabase &db, QSqlError &failure, QString &damage, bool &newer)
{
    QSqlQuery q(db);
    // WAL: readers never wait for the writer, and a commit is a single append.
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()) {
        failure = q.lastError();
        return;
    }
    q.finish();
    if (!q.exec(QStringLiteral("PRAGMA quick_check")) || !q.next()) {
        failure = q.lastError();
        return;
    }
    const QString check = q.value(0).toString();
    q.finish();
    if (check != u"ok") {
        damage = QStringLiteral("integrity check: ") + check;
        return;
    }
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
        failure = q.lastError();
        return;
    }
    const int version = q.value(0).toInt();
    q.finish();
    if (version > schemaVersion) {
        // A newer CreditGauge wrote it; it is not ours to change or to move.
        qCWarning(log::history).noquote()
            << m_path << "has layout version" << version << "but this program knows"
            << schemaVersion << "; no history is kept";
        newer = true;
        return;
    }
    q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // The month the panel reads is a few hundred KiB; SQLite would otherwise cache up to 2 MiB.
    q.exec(QStringLiteral("PRAGMA cache_size=-512"));
    if (version == schemaVersion)
        return;
    const bool created = q.exec(QStringLiteral("BEGIN IMMEDIATE"))
        && q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS balances ("
                                 " id INTEGER PRIMARY KEY,"
                                 " at INTEGER NOT NULL," // ms since the epoch, UTC
                                 " provider TEXT NOT NULL,"
                                 " currency TEXT NOT NULL,"
                                 " total REAL NOT NULL,"
                                 " details TEXT NOT NULL)")) // JSON: [{"name", "amount"}]
        && q.exec(QStringLiteral(
            "CREATE INDEX IF NOT EXISTS balances_by_provider ON balances(provider, at)"))
        && q.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS flags (name TEXT PRIMARY KEY, value INTEGER NOT NULL)"))
        && q.exec(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion))
        && q.exec(QStringLiteral("COMMIT"));
    if (!created) {
        failure = q.lastError();
        q.exec(QStringLiteral("ROLLBACK"));
    }
}

void BalanceHistory::moveAside(const QString &reason)
{
    const QString suffix = QStringLiteral(".broken-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const bool moved = QFile::rename(m_path, m_path + suffix);
    // The journal belongs to the file it was written for.
    for (const char *part : {"-wal", "-shm"}) {
        const QString file = m_path + QLatin1String(part);
        if (QFileInfo::exists(file))
            QFile::rename(file, m_path + suffix + QLatin1String(part));
    }
    qCWarning(log::history).noquote()
        << QStringLiteral("the balance history %1 cannot be used (%2); %3")
               .arg(m_path, reason,
                    moved ? QStringLiteral("kept as %1, a new one is started").arg(m_path + suffix)
                          : QStringLiteral("it could not be moved aside"));
}

bool BalanceHistory::record(Provider provider, const Balance &balance, const QDateTime &at)
{
    if (!ensureOpen())
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection));
    const qint64 ms = at.toMSecsSinceEpoch();
    const QString details = detailsJson(balance.details);
    // IMMEDIATE: the write lock is taken (or waited for) before the look for the same
    // observation, so two writers cannot both decide to insert it.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        qCDebug(log::history).noquote() << "cannot write:" << q.lastError().text();
        return false;
    }
    const qint64 window = std::chrono::milliseconds(sameObservation).count();
    bool ok = run(
        q,
        QStringLiteral("SELECT 1 FROM balances WHERE provider = ? AND at BETWEEN ? AND ?"
                       " AND currency = ? AND total = ? AND details = ?"),
        {provider.rawValue(), ms - window, ms + window, balance.currency, balance.total, details});
    const bool seen = ok && q.next();
    if (ok && !seen)
        ok = run(q,
                 QStringLiteral("INSERT INTO balances (at, provider, currency, total, details)"
                                " VALUES (?, ?, ?, ?, ?)"),
                 {ms, provider.rawValue(), balance.currency, balance.total, details});
    if (ok)
        ok = run(q, QStringLiteral("DELETE FROM balances WHERE at < ?"),
                 {at.addDays(-keptDays).toMSecsSinceEpoch()});
    if (!ok || !q.exec(QStringLiteral("COMMIT"))) {
        q.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    qCDebug(log::history) << (seen ? "already kept:" : "kept:") << provider.rawValue()
                          << balance.total << balance.currency;
    return true;
}

QList<BalanceSample> BalanceHistory::samples(Provider provider, const QDateTime &since,
                                             bool withPreceding)
{
    QList<BalanceSample> result;
    if (!ensureOpen())
        return result;
    QSqlQuery q(QSqlDatabase::database(m_connection));
    q.setForwardOnly(true);
    const qint64 from = since.toMSecsSinceEpoch();
    if (withPreceding
        && run(q,
               QStringLiteral("SELECT at, currency, total, details FROM balances"
                              " WHERE provider = ? AND at < ? ORDER BY at DESC LIMIT 1"),
               {provider.rawValue(), from})
        && q.next())
        result.append(sampleFrom(q));
    if (run(q,
            QStringLiteral("SELECT at, currency, total, details FROM balances"
                           " WHERE provider = ? AND at >= ? ORDER BY at, id"),
            {provider.rawValue(), from})) {
        while (q.next())
            result.append(sampleFrom(q));
    }
    return result;
}

bool BalanceHistory::flag(const QString &name)
{
    if (!ensureOpen())
        return m_memoryFlags.value(name);
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (run(q, QStringLiteral("SELECT value FROM flags WHERE name = ?"), {name}) && q.next())
        return q.value(0).toBool();
    return m_memoryFlags.value(name);
}

void BalanceHistory::setFlag(const QString &name, bool on)
{
    m_memoryFlags.insert(name, on);
    if (!ensureOpen())
        return;
    QSqlQuery q(QSqlDatabase::database(m_connection));
    run(q,
        QStringLiteral("INSERT INTO flags (name, value) VALUES (?, ?)"
                       " ON CONFLICT(name) DO UPDATE SET value = excluded.value"),
        {name, on ? 1 : 0});
}

} // namespace creditgauge
