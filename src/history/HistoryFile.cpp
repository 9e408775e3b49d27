#include "HistoryFile.h"

#include "core/Log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QUuid>
#include <QVariant>

namespace creditgauge {
namespace {

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

} // namespace

HistoryFile::HistoryFile(const QString &path)
    : m_path(path)
    , m_connection(QStringLiteral("creditgauge-history-")
                   + QUuid::createUuid().toString(QUuid::WithoutBraces))
{ }

HistoryFile::~HistoryFile()
{
    close();
}

QSqlDatabase HistoryFile::database() const
{
    return QSqlDatabase::database(m_connection);
}

void HistoryFile::failed(const QSqlError &error)
{
    if (isDamage(error)) {
        // Found only now, in a page the check on opening did not reach.
        close();
        moveAside(error.text());
    }
    noteFailure(error);
}

void HistoryFile::written()
{
    if (!m_problem.isEmpty())
        qCDebug(log::history) << "the history is written again";
    m_problem.clear();
}

void HistoryFile::close()
{
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    m_opened = false;
}

bool HistoryFile::ensureOpen()
{
    return m_opened || open();
}

// Opens, checks and, on first use, creates the database. A file SQLite calls damaged is moved
// aside and a fresh one started in its place, once per attempt; a busy, full or unwritable one
// is left alone and tried again next time.
bool HistoryFile::open()
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
void HistoryFile::prepare(QSqlDatabase &db, QSqlError &failure, QString &damage, bool &newer)
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

void HistoryFile::moveAside(const QString &reason)
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

void HistoryFile::noteFailure(const QSqlError &error)
{
    if (isBusy(error)) {
        qCDebug(log::history) << "another writer holds the history; the rows wait";
        return;
    }
    m_problem = problemText(error, m_path);
}

} // namespace creditgauge
