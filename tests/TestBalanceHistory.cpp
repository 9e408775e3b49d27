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

} // namespace

// The history in a temporary folder: what is kept and read back, two processes writing at
// once, a writer killed while writing, and files that are not a usable database.
class TestBalanceHistory : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_dir.emplace();
        m_path = m_dir->filePath(u"history.sqlite"_s);
    }

    void keepsAndReadsBack()
    {
        BalanceHistory history(m_path);
        const Balance detailed {u"CNY"_s, 110, {{u"Aufgeladen"_s, 100}, {u"Geschenkt"_s, 10}}};
        QVERIFY(history.record(Provider::deepseek, detailed, t0));
        QVERIFY(history.record(Provider::deepseek, usd(9), t0.addDays(1)));
        QVERIFY(history.record(Provider::deepseek, usd(8), t0.addDays(2)));
        QVERIFY(history.record(Provider::moonshot, usd(50), t0.addDays(1)));

        const QList<BalanceSample> all = history.samples(Provider::deepseek, t0);
        QCOMPARE(all.size(), 3);
        QCOMPARE(all[0], (BalanceSample {t0, detailed}));
        QCOMPARE(totals(history.samples(Provider::deepseek, t0.addSecs(1))),
                 (QList<double> {9, 8}));
        QCOMPARE(totals(history.samples(Provider::deepseek, t0.addDays(2), true)),
                 (QList<double> {9, 8}));
        QCOMPARE(totals(history.samples(Provider::moonshot, t0)), QList<double> {50});
        // Another process (or the next start) sees the same.
        QCOMPARE(BalanceHistory(m_path).samples(Provider::deepseek, t0), all);
    }

    // Which figure a row holds goes in and comes back; rows from before it was kept, or from
    // an older program writing beside this one, read as what their components say.
    void figureIsKeptAndOlderRowsReadAsBefore()
    {
        const auto insertAsBefore = [this](const QString &details) {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"older"_s);
            db.setDatabaseName(m_path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(
                q.exec(u"CREATE TABLE IF NOT EXISTS balances (id INTEGER PRIMARY KEY, at INTEGER"
                       " NOT NULL, provider TEXT NOT NULL, currency TEXT NOT NULL, total REAL"
                       " NOT NULL, details TEXT NOT NULL)"_s));
            QVERIFY(q.exec(u"PRAGMA user_version=1"_s));
            QVERIFY(q.exec(u"INSERT INTO balances (at, provider, currency, total, details) VALUES"
                           " (%1, 'openrouter', 'USD', 8, '%2')"_s.arg(t0.toMSecsSinceEpoch())
                               .arg(details)));
            q.finish();
            db.close();
            db = {};
            QSqlDatabase::removeDatabase(u"older"_s);
        };
        insertAsBefore(uR"([{"name":"Key-Limit","amount":10}])"_s);
        BalanceHistory history(m_path);
        Balance credit = usd(7);
        QVERIFY(history.record(Provider::openrouter, credit, t0.addDays(1)));
        Balance limit {u"USD"_s, 6, {{u"Key-Limit"_s, 10}}, BalanceFigure::KeyLimit};
        QVERIFY(history.record(Provider::openrouter, limit, t0.addDays(2)));
        insertAsBefore(uR"([{"name":"Aufgeladen","amount":9}])"_s);
        QList<BalanceFigure> figures;
        for (const BalanceSample &s : BalanceHistory(m_path).samples(Provider::openrouter, t0))
            figures << s.balance.figure;
        QCOMPARE(figures,
                 (QList<BalanceFigure> {BalanceFigure::KeyLimit, BalanceFigure::Credit,
                                        BalanceFigure::Credit, BalanceFigure::KeyLimit}));
    }

    void oneObservationIsKeptOnce_data()
    {
        QTest::addColumn<QString>("secondProvider");
        QTest::addColumn<double>("secondTotal");
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
        QFETCH(QString, secondProvider);
        QFETCH(double, secondTotal);
        QFETCH(int, secondsLater);
        BalanceHistory first(m_path), second(m_path);
        QVERIFY(first.record(Provider::deepseek, usd(5), t0));
        QVERIFY(second.record(*Provider::fromRawValue(secondProvider), usd(secondTotal),
                              t0.addSecs(secondsLater)));
        QTEST(int(rowCount()), "rows");
    }

    void rowsOlderThan400DaysGo()
    {
        BalanceHistory history(m_path);
        QVERIFY(history.record(Provider::deepseek, usd(9), t0.addDays(-401)));
        QVERIFY(history.record(Provider::deepseek, usd(8), t0.addDays(-399)));
        QVERIFY(history.record(Provider::deepseek, usd(7), t0));
        QCOMPARE(totals(history.samples(Provider::deepseek, t0.addYears(-2))),
                 (QList<double> {8, 7}));
    }

    // Tray and status bar write at the same time: every row is there once, and neither ever
    // hears that the database is locked.
    void twoProcessesWritingAtOnce_data()
    {
        QTest::addColumn<int>("secondSeed");
        QTest::addColumn<int>("rows");
        QTest::newRow("different balances") << 2 << 600;
        QTest::newRow("the same observations") << 1 << 300;
    }
    void twoProcessesWritingAtOnce()
    {
        QFETCH(int, secondSeed);
        QProcess a, b;
        a.start(QStringLiteral(HISTORY_WRITER), {m_path, u"300"_s, u"1"_s});
        b.start(QStringLiteral(HISTORY_WRITER), {m_path, u"300"_s, QString::number(secondSeed)});
        for (QProcess *p : {&a, &b}) {
            QVERIFY(p->waitForFinished(60000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
            QCOMPARE(p->readAllStandardError(), QByteArray());
        }
        QTEST(int(rowCount()), "rows");
    }

    // Killed at any moment, a writer loses at most the row it was writing, and the file opens.
    void killedWriterLosesAtMostTheRowItWrote()
    {
        QProcess writer;
        writer.start(QStringLiteral(HISTORY_WRITER), {m_path, u"100000"_s, u"1"_s});
        QVERIFY(writer.waitForStarted());
        int kept = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                writer.waitForReadyRead(50);
                while (writer.canReadLine())
                    kept = writer.readLine().trimmed().toInt();
                return kept >= 200;
            },
            20000));
        ::kill(pid_t(writer.processId()), SIGKILL);
        QVERIFY(writer.waitForFinished());
        while (writer.canReadLine())
            kept = writer.readLine().trimmed().toInt();

        BalanceHistory history(m_path);
        QVERIFY(history.isAvailable()); // nothing was moved aside
        const qsizetype rows = history.samples(Provider::deepseek, t0.addYears(-5)).size();
        QVERIFY2(rows == kept || rows == kept + 1,
                 qPrintable(u"%1 rows, %2 reported"_s.arg(rows).arg(kept)));
        QVERIFY(history.record(Provider::deepseek, usd(1), t0));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).filter(u"broken"_s), QStringList());
    }

    // A file SQLite cannot use is kept under another name and a fresh history begins.
    void unusableFileIsMovedAside_data()
    {
        QTest::addColumn<QByteArray>("damage"); // "garbage" or "truncated"
        QTest::newRow("not a database") << QByteArray("garbage");
        QTest::newRow("cut short") << QByteArray("truncated");
    }
    void unusableFileIsMovedAside()
    {
        QFETCH(QByteArray, damage);
        QByteArray contents;
        if (damage == "garbage") {
            contents = QByteArray(8192, 'x');
        } else {
            {
                BalanceHistory history(m_path);
                for (int i = 0; i < 2000; ++i)
                    QVERIFY(history.record(Provider::deepseek, usd(i), t0.addSecs(120 * i)));
            }
            QFile whole(m_path);
            QVERIFY(whole.open(QIODevice::ReadOnly));
            contents = whole.readAll().left(whole.size() / 2);
            QFile::remove(m_path + u"-wal"_s);
            QFile::remove(m_path + u"-shm"_s);
        }
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(contents);
        file.close();

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"cannot be used .*kept as"_s));
        BalanceHistory history(m_path);
        QVERIFY(history.record(Provider::deepseek, usd(3), t0));
        QCOMPARE(totals(history.samples(Provider::deepseek, t0.addYears(-1))), QList<double> {3});
        const QStringList kept
            = QDir(m_dir->path()).entryList({u"history.sqlite.broken-*"_s}, QDir::Files);
        QCOMPARE(kept.size(), 1);
        QFile aside(m_dir->filePath(kept.first()));
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), contents);
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
        const QString dir = m_dir->filePath(u"data"_s);
        QVERIFY(QDir().mkpath(dir));
        QStringList command {QStringLiteral(HISTORY_WRITER)};
        auto unmount = qScopeGuard([&dir] { ::umount(qPrintable(dir)); });
        if (fault == u"full") {
            if (qEnvironmentVariableIsEmpty("CREDITGAUGE_TEST_PRIVATE_MOUNTS"))
                QSKIP("needs root in a mount namespace of its own; see tests/CMakeLists.txt");
            QVERIFY(::mount("tmpfs", qPrintable(dir), "tmpfs", 0, "size=16m") == 0);
        } else if (fault == u"owner") {
            if (::geteuid() != 0)
                QSKIP("needs root, to hand the folder to another user");
            QVERIFY(::chmod(qPrintable(m_dir->path()), 0755) == 0);
            QVERIFY(::chown(qPrintable(dir), 65534, 65534) == 0);
            command = QStringList {u"setpriv"_s, u"--reuid=65534"_s, u"--regid=65534"_s,
                                   u"--clear-groups"_s}
                + command;
        } else {
            command = QStringList {u"prlimit"_s, u"--fsize=0"_s} + command;
        }
        const QString path = dir + u"/history.sqlite"_s;
        {
            BalanceHistory history(path);
            for (int i = 0; i < 500; ++i)
                QVERIFY(history.record(Provider::deepseek, usd(i), t0.addSecs(120 * i)));
        }
        if (fault == u"full") {
            QFile filler(dir + u"/filler"_s);
            QVERIFY(filler.open(QIODevice::WriteOnly));
            while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) { }
        }
        const QByteArray before = contents(path);

        QProcess writer;
        writer.start(command.takeFirst(), command << path << u"1"_s << u"7"_s);
        QVERIFY(writer.waitForFinished(30000));
        const QString said = QString::fromLocal8Bit(writer.readAllStandardError());
        QCOMPARE(writer.exitCode(), 1);
        QFETCH(QString, problem);
        QVERIFY2(said.contains(problem), qPrintable(said));
        QCOMPARE(contents(path), before);
        QCOMPARE(QDir(dir).entryList(QDir::Files).filter(u"broken"_s), QStringList());
    }

    // Another writer that holds the lock is waited for a moment only: the row waits in memory
    // and goes in with the next one, rather than the program waiting for the lock to be free.
    void lockOfAnotherWriterIsNotWaitedFor()
    {
        QVERIFY(BalanceHistory(m_path).record(Provider::deepseek, usd(1), t0));
        std::promise<void> locked;
        std::thread holder([this, &locked] {
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"holder"_s);
                db.setDatabaseName(m_path);
                QSqlQuery q(db);
                const bool held = db.open() && q.exec(u"BEGIN EXCLUSIVE"_s);
                locked.set_value();
                if (held)
                    std::this_thread::sleep_for(std::chrono::seconds(3));
                q.exec(u"COMMIT"_s);
            }
            QSqlDatabase::removeDatabase(u"holder"_s);
        });
        locked.get_future().wait();
        BalanceHistory history(m_path);
        const bool kept = history.record(Provider::deepseek, usd(2), t0.addDays(1));
        holder.join();
        QVERIFY(!kept);
        QCOMPARE(history.writeProblem(), QString()); // nothing is wrong with the file
        QVERIFY(history.record(Provider::deepseek, usd(3), t0.addDays(2)));
        QCOMPARE(totals(BalanceHistory(m_path).samples(Provider::deepseek, t0)),
                 (QList<double> {1, 2, 3}));
    }

    // A later version of the program owns that layout: left as it is, no history kept.
    void newerLayoutIsLeftAlone()
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"newer"_s);
            db.setDatabaseName(m_path);
            QVERIFY(db.open());
            QVERIFY(QSqlQuery(db).exec(u"PRAGMA user_version=2"_s));
            db.close();
        }
        QSqlDatabase::removeDatabase(u"newer"_s);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"layout version 2"_s));
        BalanceHistory history(m_path);
        QVERIFY(!history.record(Provider::deepseek, usd(3), t0));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files).filter(u"broken"_s), QStringList());
    }

    void flagsOutliveTheProcessOrLiveInMemory()
    {
        BalanceHistory(m_path).setFlag(u"alert.low.deepseek"_s, true);
        QVERIFY(BalanceHistory(m_path).flag(u"alert.low.deepseek"_s));
        QVERIFY(!BalanceHistory(m_path).flag(u"alert.low.moonshot"_s));
        // Where no database can be: still remembered for the session.
        BalanceHistory nowhere(m_dir->filePath(u"file/in/a/file"_s));
        QFile blocker(m_dir->filePath(u"file"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        nowhere.setFlag(u"x"_s, true);
        QVERIFY(nowhere.flag(u"x"_s));
        QVERIFY(!nowhere.isAvailable());
    }

private:
    static QByteArray contents(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
