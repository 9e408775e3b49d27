#include "history/BalanceHistory.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <future>
#include <thread>

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

} // namespace

// The history in a temporary folder: what is kept and read back, writers at once and one
// killed, files that are no usable database, a disk that refuses, another writer's lock.
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
    // rows older than 400 days go, and infinity or NaN is no amount to keep, nor a key's limit as
    // credit. The same observation kept by another process within a minute is one row.
    void keepsAndReadsBack()
    {
        BalanceHistory history(m_path), other(m_path);
        const Balance detailed {u"CNY"_s, 110, {{u"Aufgeladen"_s, 100}, {u"Geschenkt"_s, 10}}};
        const QDateTime day1 = t0.addDays(1);
        QVERIFY(history.record(Provider::deepseek, usd(12), t0.addDays(-401)));
        QVERIFY(history.record(Provider::deepseek, usd(11), t0.addDays(-397)));
        QVERIFY(history.record(Provider::deepseek, detailed, t0));
        QVERIFY(history.record(Provider::deepseek, usd(9), day1));
        QVERIFY(other.record(Provider::deepseek, usd(9), day1.addSecs(20)));
        QVERIFY(other.record(Provider::deepseek, usd(9), day1.addSecs(-60)));
        QVERIFY(other.record(Provider::deepseek, usd(9), day1.addSecs(120)));
        QVERIFY(other.record(Provider::openrouter, usd(9), day1));
        QVERIFY(history.record(Provider::openrouter, {u"USD"_s, 6, {}, BalanceFigure::KeyLimit},
                               t0.addDays(2)));
        QVERIFY(history.record(Provider::deepseek, usd(qInf()), t0.addDays(2))); // shown, not kept
        QVERIFY(history.record(Provider::deepseek, usd(qQNaN()), t0.addDays(2)));
        QVERIFY(history.record(Provider::deepseek, usd(8), t0.addDays(2))); // kept all the same
        BalanceHistory next(m_path);
        QCOMPARE(totals(next.samples(Provider::deepseek, t0.addYears(-2))),
                 (QList<double> {11, 110, 9, 9, 8}));
        QCOMPARE(next.samples(Provider::deepseek, t0).value(0), (BalanceSample {t0, detailed}));
        QCOMPARE(totals(history.samples(Provider::deepseek, t0.addDays(2), true)),
                 (QList<double> {9, 8}));
        QCOMPARE(next.samples(Provider::openrouter, t0).value(1).balance.figure,
                 BalanceFigure::KeyLimit);
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
        const qsizetype rows = history.samples(Provider::deepseek, t0.addYears(-5)).size() - 300;
        QVERIFY2(rows == kept || rows == kept + 1, qPrintable(u"%1 of %2"_s.arg(rows).arg(kept)));
        QVERIFY(history.record(Provider::deepseek, usd(1), t0));
        QCOMPARE(broken(m_dir->path()), QStringList());
    }

    // A file SQLite cannot use is kept under another name and a fresh history begins. One of a
    // later version of the program is left as it is, and no history kept.
    void unusableFileIsMovedAside()
    {
        const QByteArray garbage(8192, 'x');
        QFile damaged(m_path);
        QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write(garbage) > 0
                && damaged.flush());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot be used .*kept as"_s));
        QVERIFY(BalanceHistory(m_path).record(Provider::deepseek, usd(3), t0));
        const QStringList kept = broken(m_dir->path());
        QCOMPARE(kept.size(), 1);
        QFile moved(m_dir->filePath(kept.value(0)));
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), garbage);

        QVERIFY(sql(m_path, {u"PRAGMA user_version=2"_s}));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"layout version 2"_s));
        QVERIFY(!BalanceHistory(m_path).record(Provider::deepseek, usd(3), t0));
        QCOMPARE(broken(m_dir->path()).size(), 1);
    }

    // A failed write (here an I/O error: no file may grow) says nothing about the rows in the
    // file: it stays exactly as it is, and the writer hears why its row was not kept.
    void failedWriteLeavesTheFileAsItIs()
    {
        QProcess writer;
        writer.start(QStringLiteral(HISTORY_WRITER), {m_path, u"500"_s, u"1"_s});
        QVERIFY(writer.waitForFinished(30000) && writer.exitCode() == 0);
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        writer.start(u"prlimit"_s,
                     {u"--fsize=0"_s, QStringLiteral(HISTORY_WRITER), m_path, u"1"_s, u"7"_s});
        QVERIFY(writer.waitForFinished(30000));
        const QString said = QString::fromLocal8Bit(writer.readAllStandardError());
        QVERIFY2(writer.exitCode() == 1 && said.contains(u"Ein-/Ausgabefehler"_s),
                 qPrintable(said));
        QVERIFY(file.seek(0));
        QCOMPARE(file.readAll(), before);
        QCOMPARE(broken(m_dir->path()), QStringList());
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

    std::optional<QTemporaryDir> m_dir;
    QString m_path;
};

QTEST_GUILESS_MAIN(TestBalanceHistory)
#include "TestBalanceHistory.moc"
