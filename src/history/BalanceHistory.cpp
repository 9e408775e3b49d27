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
#include <QStorageInfo>
#include <QTimeZone>
#include <QUuid>
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
// A writer waits this long for another to finish its short transaction, then leaves the rows
// for next time: the program's own thread must never wait long.
constexpr int busyTimeoutMs = 250;

// SQLite's primary result codes.
enum Code {
    busy = 5,
    locked = 6,
    readOnly = 8,
    ioError = 10,
    corrupt = 11,
    full = 13,
    cantOpen = 14,
    auth = 23,
    notADatabase = 26,
    perm = 3
};

int primaryCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    return ok ? code : -1;
}

// Only SQLite's own verdict that the file is not, or no longer, a database justifies moving it
// aside; any other failure says nothing about the rows in it.
bool isDamage(const QSqlError &error)
{
    const int code = primaryCode(error);
    return code == corrupt || code == notADatabase;
}

// Another process holds the lock: nothing is wrong, the rows go in next time.
bool isBusy(const QSqlError &error)
{
    const int code = primaryCode(error);
    return code == busy || code == locked;
}

QString problemText(const QSqlError &error, const QString &path)
{
    // SQLite reports a full disk in several ways (an I/O error when the shared-memory file
    // cannot grow, no way to open the journal); the disk itself tells.
    constexpr qint64 nearlyFull = 64 * 1024;
    const QStorageInfo disk(QFileInfo(path).absolutePath());
    if (disk.isValid() && disk.bytesAvailable() < nearlyFull)
        return QStringLiteral("der Datenträger ist voll");
    switch (primaryCode(error)) {
    case full:
        return QStringLiteral("der Datenträger ist voll");
    case readOnly:
    case perm:
    case auth:
    case cantOpen:
        return QStringLiteral("die Datei darf nicht geschrieben werden");
    case ioError:
        return QStringLiteral("Ein-/Ausgabefehler");
    default:
        return QStringLiteral("SQLite-Fehler %1").arg(error.nativeErrorCode());
    }
}

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
    : m_path(path.isEmpty() ? defaultPath() : path)
    , m_connection(QStringLiteral("creditgauge-history-")
                   + QUuid::createUuid().toString(QUuid::WithoutBraces))
{ }

BalanceHistory::~BalanceHistory()
{
    if (!m_pending.isEmpty())
        flush();
    close();
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
    return m_opened || open();
}

// Opens, checks and, on first use, creates the database. A file SQLite calls damaged is moved
// aside and a fresh one started in its place, once per attempt; a busy, full or unwritable one
// is left alone and tried again next time.
bool BalanceHistory::open()
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) {
            m_problem = QStringLiteral("der Ordner lässt sich nicht anlegen");
            return false;
        }
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
        if (damage.isEmpty() && isDamage(failure) && QFileInfo::exists(m_path))
            damage = failure.text();
        if (damage.isEmpty()) {
            qCDebug(log::history).noquote() << "cannot open" << m_path << ":" << failure.text();
            noteFailure(failure);
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
    // The month the panel reads is a few hundred KiB; SQLite would otherwise cache up to 2 MiB,
    // and the check below would fill it for the life of the process.
    q.exec(QStringLiteral("PRAGMA cache_size=-512"));
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
    if (version < schemaVersion) {
        const bool created = q.exec(QStringLiteral("BEGIN IMMEDIATE"))
            && q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS balances ("
                                     " id INTEGER PRIMARY KEY,"
                                     " at INTEGER NOT NULL," // ms since the epoch, UTC
                                     " provider TEXT NOT NULL,"
                                     " currency TEXT NOT NULL,"
                                     " total REAL NOT NULL,"
                                     " details TEXT NOT NULL," // JSON: [{"name", "amount"}]
                                     " figure TEXT)")) // "credit" or "key-limit"
            && q.exec(QStringLiteral(
                "CREATE INDEX IF NOT EXISTS balances_by_provider ON balances(provider, at)"))
            && q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS flags"
                                     " (name TEXT PRIMARY KEY, value INTEGER NOT NULL)"))
            && q.exec(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion))
            && q.exec(QStringLiteral("COMMIT"));
        if (!created) {
            failure = q.lastError();
            q.exec(QStringLiteral("ROLLBACK"));
            return;
        }
    }
    // Files from before the figure was kept get the column; a program that does not know it
    // writes rows without one, which read as before. Without the right to add it, the file is
    // still read.
    m_hasFigure = q.exec(QStringLiteral("SELECT figure FROM balances LIMIT 0"));
    if (!m_hasFigure)
        m_hasFigure = q.exec(QStringLiteral("ALTER TABLE balances ADD COLUMN figure TEXT"));
}

void BalanceHistory::moveAside(const QString &reason)
{
    const QString suffix = QStringLiteral(".broken-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const bool moved = QFile::rename(m_path, m_path + suffix);
    // The journal belongs to the file it was written for: it goes with it, or the fresh file
    // would start from another file's pages.
    for (const char *part : {"-wal", "-shm"}) {
        const QString file = m_path + QLatin1String(part);
        if (moved && QFileInfo::exists(file))
            QFile::rename(file, m_path + suffix + QLatin1String(part));
    }
    qCWarning(log::history).noquote()
        << QStringLiteral("the balance history %1 cannot be used (%2); %3")
               .arg(m_path, reason,
                    moved ? QStringLiteral("kept as %1, a new one is started").arg(m_path + suffix)
                          : QStringLiteral("it could not be moved aside"));
}

void BalanceHistory::noteFailure(const QSqlError &error)
{
    if (isBusy(error)) {
        qCDebug(log::history) << "another writer holds the history; the rows wait";
        return;
    }
    m_problem = problemText(error, m_path);
}

bool BalanceHistory::record(Provider provider, const Balance &balance, const QDateTime &at)
{
    // Infinity and NaN are shown as the provider sent them, but are no amount to keep.
    if (!std::isfinite(balance.total))
        return writePending();
    m_pending.append({provider, {at.toUTC(), balance}});
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
    if (!ensureOpen())
        return false;
    QSqlDatabase db = QSqlDatabase::database(m_connection);
    QSqlQuery q(db);
    const qint64 window = std::chrono::milliseconds(sameObservation).count();
    const QString insert = m_hasFigure
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
                 {row.provider.rawValue(), ms - window, ms + window, b.currency, b.total, details});
        const bool seen = ok && q.next();
        QVariantList values {ms, row.provider.rawValue(), b.currency, b.total, details};
        if (m_hasFigure)
            values << figureName(b.figure);
        if (ok && !seen)
            ok = run(q, insert, values);
        qCDebug(log::history) << (seen ? "already kept:" : "kept:") << row.provider.rawValue()
                              << b.total << b.currency;
    }
    // Old rows go when the limit has moved on by a day, provider by provider so that the
    // index serves instead of a pass over the whole table.
    const qint64 cutoff = m_pending.constLast().sample.at.addDays(-keptDays).toMSecsSinceEpoch();
    const bool prune = !m_prunedBefore || cutoff - *m_prunedBefore >= 24 * 3600 * 1000;
    for (const Provider p : Provider::allCases()) {
        if (ok && prune)
            ok = run(q, QStringLiteral("DELETE FROM balances WHERE provider = ? AND at < ?"),
                     {p.rawValue(), cutoff});
    }
    if (ok)
        ok = q.exec(QStringLiteral("COMMIT"));
    if (!ok) {
        const QSqlError error = q.lastError();
        q.exec(QStringLiteral("ROLLBACK"));
        if (isDamage(error)) {
            // Found only now, in a page the check on opening did not reach: the next use
            // starts afresh beside the damaged file.
            close();
            moveAside(error.text());
        }
        noteFailure(error);
        return false;
    }
    if (prune)
        m_prunedBefore = cutoff;
    if (!m_problem.isEmpty())
        qCDebug(log::history) << "the history is written again";
    m_problem.clear();
    m_pending.clear();
    return true;
}

QList<BalanceSample> BalanceHistory::samples(Provider provider, const QDateTime &since,
                                             bool withPreceding)
{
    QList<BalanceSample> result;
    std::optional<BalanceSample> preceding;
    const qint64 from = since.toMSecsSinceEpoch();
    if (ensureOpen()) {
        QSqlQuery q(QSqlDatabase::database(m_connection));
        q.setForwardOnly(true);
        const QString columns = m_hasFigure
            ? QStringLiteral("SELECT at, currency, total, details, figure FROM balances")
            : QStringLiteral("SELECT at, currency, total, details, NULL FROM balances");
        if (withPreceding
            && run(q,
                   columns
                       + QStringLiteral(" WHERE provider = ? AND at < ? ORDER BY at DESC LIMIT 1"),
                   {provider.rawValue(), from})
            && q.next())
            preceding = sampleFrom(q);
        if (run(q, columns + QStringLiteral(" WHERE provider = ? AND at >= ? ORDER BY at, id"),
                {provider.rawValue(), from})) {
            while (q.next())
                result.append(sampleFrom(q));
        }
    }
    // What waits to be written belongs to the history all the same.
    bool waiting = false;
    for (const Row &row : std::as_const(m_pending)) {
        if (row.provider != provider)
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
