#include "history/BalanceHistory.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <csignal>
#include <functional>
#include <future>
#include <thread>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace creditgauge;
using namespace Qt::StringLiterals;

namespace {

const QDateTime t0(QDate(2026, 11, 1), QTime(12, 0), Qt::UTC);

Balance usd(double total)
{
    return {u"USD"_s, total, {{u"Aufgeladen"_s, total}}};
}

QList<double> totals(const QList<BalanceSample> &samples)
{
    QList<double> result;
    for (const BalanceSample &s : samples)
        result << s.balance.total;
    return result;
}

// Runs `statements` on the file as another program would, then `meanwhile` before it lets go.
bool sql(const QString &path, const QStringList &statements,
         const std::function<void()> &meanwhile = {})
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery q(db);
        for (const QString &statement : statements)
            ok = ok && q.exec(statement);
        if (meanwhile)
            meanwhile();
    }
    QSqlDatabase::removeDatabase(u"other"_s);
    return ok;
}

bool fill(const QString &path, int rows)
{
    BalanceHistory history(path);
    for (int i = 0; i < rows; ++i) {
        if (!history.record(Provider::deepseek, usd(i), t0.addSecs(120 * i)))
            return false;
    }
    return true;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The history in a temporary folder: what is kept and read back, two processes writing at
// once, a writer killed while writing, files that are not a usable database, and faults of
// the disk and of other writers.
class TestBalanceHistory : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_dir.emplace();
        m_path = m_dir->filePath(u"history.sqlite"_s);
    }

    // Per provider, from a time on (or with the row before it), by this process and the next;
    // rows older than 400 days go, and infinity is no amount to keep. A file an older program began
    // without the figure is taken on, and its rows read as what their components say.
    void keepsAndReadsBack()
    {
        QVERIFY(sql(m_path,
                    {u"CREATE TABLE balances (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, provider"
                     " TEXT NOT NULL, currency TEXT NOT NULL, total REAL NOT NULL, details TEXT"
                     " NOT NULL)"_s,
                     u"PRAGMA user_version=1"_s,
                     u"INSERT INTO balances (at, provider, currency, total, details) VALUES (%1,"
                     " 'openrouter', 'USD', 8, '[{\"name\":\"Key-Limit\",\"amount\":9}]')"_s.arg(
                         t0.toMSecsSinceEpoch())}));
        BalanceHistory history(m_path);
        const Balance detailed {u"CNY"_s, 110, {{u"Aufgeladen"_s, 100}, {u"Geschenkt"_s, 10}}};
        QVERIFY(history.record(Provider::deepseek, usd(12), t0.addDays(-401)));
        QVERIFY(history.record(Provider::deepseek, usd(11), t0.addDays(-397)));
        QVERIFY(history.record(Provider::deepseek, detailed, t0));
        QVERIFY(history.record(Provider::deepseek, usd(9), t0.addDays(1)));
        QVERIFY(history.record(Provider::openrouter, usd(7), t0.addDays(1)));
        QVERIFY(history.record(Provider::openrouter, {u"USD"_s, 6, {}, BalanceFigure::KeyLimit},
                               t0.addDays(2)));
        QVERIFY(history.record(Provider::deepseek, usd(8), t0.addDays(2)));
        QVERIFY(history.record(Provider::deepseek, usd(qInf()), t0.addDays(3))); // shown, not kept
        BalanceHistory next(m_path);
        QCOMPARE(totals(next.samples(Provider::deepseek, t0.addYears(-2))),
                 (QList<double> {11, 110, 9, 8}));
        QCOMPARE(next.samples(Provider::deepseek, t0).value(0), (BalanceSample {t0, detailed}));
        QCOMPARE(totals(history.samples(Provider::deepseek, t0.addDays(2), true)),
                 (QList<double> {9, 8}));
        QList<BalanceFigure> figures;
        for (const BalanceSample &s : next.samples(Provider::openrouter, t0))
            figures << s.balance.figure;
        QCOMPARE(figures,
                 (QList<BalanceFigure> {BalanceFigure::KeyLimit, BalanceFigure::Credit,
                                        BalanceFigure::KeyLimit}));
    }

    // Two processes asking at the same moment keep one row.
    void oneObservationIsKeptOnce_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<double>("total");
        QTest::addColumn<int>("secondsLater");
        QTest::addColumn<int>("rows");
        QTest::newRow("same answer, 20 s later") << u"deepseek"_s << 5.0 << 20 << 1;
        QTest::newRow("same answer, a minute earlier") << u"deepseek"_s << 5.0 << -60 << 1;
        QTest::newRow("other total") << u"deepseek"_s << 4.0 << 20 << 2;
        QTest::newRow("same total, two minutes later") << u"deepseek"_s << 5.0 << 120 << 2;
        QTest::newRow("other provider") << u"openrouter"_s << 5.0 << 0 << 2;
    }
    void oneObservationIsKeptOnce()
    {
        QFETCH(QString, provider);
        QFETCH(double, total);
        QFETCH(int, secondsLater);
        BalanceHistory first(m_path), second(m_path);
        QVERIFY(first.record(Provider::deepseek, usd(5), t0));
        QVERIFY(
            second.record(*Provider::fromRawValue(provider), usd(total), t0.addSecs(secondsLater)));
        QTEST(int(rowCount()), "rows");
    }

    // Tray and status bar write at once, the same observations or others, and a writer is
    // killed at any moment: each row is there once but the one being written, no writer hears
    // that the database is locked, and the file opens.
    void writersAtOnceAndOneKilled()
    {
        QProcess same[2], killed;
        for (QProcess &p : same)
            p.start(QStringLiteral(HISTORY_WRITER), {m_path, u"300"_s, u"1"_s});
        killed.start(QStringLiteral(HISTORY_WRITER), {m_path, u"100000"_s, u"2"_s});
        int kept = 0;
        const auto read = [&] {
            while (killed.canReadLine())
                kept = killed.readLine().trimmed().toInt();
            return kept >= 200;
        };
        QVERIFY(QTest::qWaitFor(
            [&] {
                killed.waitForReadyRead(50);
                return read();
            },
            20000));
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished());
        read();
        for (QProcess &p : same) {
            QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, 60000);
            QCOMPARE(p.readAllStandardError(), QByteArray());
            QCOMPARE(p.exitCode(), 0);
        }
        BalanceHistory history(m_path);
        QVERIFY(history.isAvailable()); // nothing was moved aside
        const qsizetype rows = rowCount() - 300;
        QVERIFY2(rows == kept || rows == kept + 1, qPrintable(u"%1 of %2"_s.arg(rows).arg(kept)));
        QVERIFY(history.record(Provider::deepseek, usd(1), t0));
        QCOMPARE(broken(m_dir->path()), QStringList());
    }

    // A file SQLite cannot use is kept under another name and a fresh history begins. One of a
    // later version of the program is left as it is, and no history kept.
    void unusableFileIsMovedAside_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("not a database") << u"garbage"_s;
        QTest::newRow("cut short") << u"truncated"_s;
        QTest::newRow("newer layout") << u"newer"_s;
    }
    void unusableFileIsMovedAside()
    {
        QFETCH(QString, file);
        const bool newer = file == u"newer";
        QByteArray before(8192, 'x');
        if (file == u"truncated") {
            QVERIFY(fill(m_path, 2000));
            before = contents(m_path);
            before.truncate(before.size() / 2);
            QFile::remove(m_path + u"-wal"_s);
            QFile::remove(m_path + u"-shm"_s);
        }
        QFile damaged(m_path);
        if (newer)
            QVERIFY(sql(m_path, {u"PRAGMA user_version=2"_s}));
        else
            QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate)
                    && damaged.write(before) > 0 && damaged.flush());
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(newer ? u"layout version 2"_s : u"cannot be used .*kept as"_s));
        BalanceHistory history(m_path);
        QCOMPARE(history.record(Provider::deepseek, usd(3), t0), !newer);
        const QStringList kept = broken(m_dir->path());
        QCOMPARE(kept.size(), newer ? 0 : 1);
        if (!newer)
            QCOMPARE(contents(m_dir->filePath(kept.value(0))), before);
    }

    // A full disk, another user's file or an I/O error says nothing about the rows in the file:
    // it stays exactly as it is, and the writer hears why its row was not kept.
    void faultsLeaveTheFileAsItIs_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("problem");
        QTest::newRow("I/O error") << u"io"_s << u"Ein-/Ausgabefehler"_s;
        QTest::newRow("full disk") << u"full"_s << u"der Datenträger ist voll"_s;
        QTest::newRow("another user's file")
            << u"owner"_s << u"die Datei darf nicht geschrieben werden"_s;
    }
    void faultsLeaveTheFileAsItIs()
    {
        QFETCH(QString, fault);
        if (fault == u"full" && qEnvironmentVariableIsEmpty("CREDITGAUGE_TEST_PRIVATE_MOUNTS"))
            QSKIP("needs root in a mount namespace of its own; see tests/CMakeLists.txt");
        if (fault == u"owner" && ::geteuid() != 0)
            QSKIP("needs root, to hand the folder to another user");
        const QString dir = m_dir->filePath(u"data"_s), path = dir + u"/history.sqlite"_s;
        QVERIFY(QDir().mkpath(dir));
        const auto unmount = qScopeGuard([&dir] { ::umount(qPrintable(dir)); });
        QStringList command {u"prlimit"_s, u"--fsize=0"_s}; // I/O error: no file may grow
        if (fault == u"full")
            QVERIFY(::mount("tmpfs", qPrintable(dir), "tmpfs", 0, "size=16m") == 0);
        QVERIFY(fill(path, 500));
        if (fault == u"full") {
            QFile filler(dir + u"/filler"_s);
            QVERIFY(filler.open(QIODevice::WriteOnly));
            while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) { }
            command.clear();
        } else if (fault == u"owner") {
            QVERIFY(::chmod(qPrintable(m_dir->path()), 0755) == 0);
            QVERIFY(::chown(qPrintable(dir), 65534, 65534) == 0);
            command = {u"setpriv"_s, u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s};
        }
        const QByteArray before = contents(path);
        QProcess writer;
        command << QStringLiteral(HISTORY_WRITER) << path << u"1"_s << u"7"_s;
        writer.start(command.takeFirst(), command);
        QVERIFY(writer.waitForFinished(30000));
        const QString said = QString::fromLocal8Bit(writer.readAllStandardError());
        QFETCH(QString, problem);
        QVERIFY2(writer.exitCode() == 1 && said.contains(problem), qPrintable(said));
        QCOMPARE(contents(path), before);
        QCOMPARE(broken(dir), QStringList());
    }

    // Another writer that holds the lock is waited for a moment only: the row waits in memory
    // and goes in with the next one, rather than the program waiting for the lock to be free.
    void lockOfAnotherWriterIsNotWaitedFor()
    {
        QVERIFY(BalanceHistory(m_path).record(Provider::deepseek, usd(1), t0));
        std::promise<void> locked, tried;
        std::thread holder([&] {
            sql(m_path, {u"BEGIN EXCLUSIVE"_s}, [&] {
                locked.set_value();
                tried.get_future().wait_for(std::chrono::seconds(30)); // a writer that waits
            });
        });
        locked.get_future().wait();
        BalanceHistory history(m_path);
        const bool kept = history.record(Provider::deepseek, usd(2), t0.addDays(1));
        tried.set_value();
        holder.join();
        QVERIFY(!kept);
        QCOMPARE(history.writeProblem(), QString()); // nothing is wrong with the file
        QVERIFY(history.record(Provider::deepseek, usd(3), t0.addDays(2)));
        QCOMPARE(totals(BalanceHistory(m_path).samples(Provider::deepseek, t0)),
                 (QList<double> {1, 2, 3}));
    }

private:
    static QStringList broken(const QString &dir)
    {
        return QDir(dir).entryList({u"history.sqlite.broken-*"_s}, QDir::Files);
    }
    qsizetype rowCount() const
    {
        return BalanceHistory(m_path).samples(Provider::deepseek, t0.addYears(-5)).size()
            + BalanceHistory(m_path).samples(Provider::openrouter, t0.addYears(-5)).size();
    }

    std::optional<QTemporaryDir> m_dir;
    QString m_path;
};

QTEST_GUILESS_MAIN(TestBalanceHistory)
#include "TestBalanceHistory.moc"
