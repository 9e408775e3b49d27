// What the balance history costs the process that keeps it: with an empty history, with a
// year's (400 days, a sample every half hour for one provider: 19,200 rows) and with 100,000
// rows across the three providers (several processes writing, a tray and text bars). For each,
// in a fresh process: the time to open the file (checks included), of the first balance after
// it, and of each later one, split into keeping it and reading the chart's month back with the
// forecast computed from it; the month's rows; and the resident memory that opening the
// history and the first balance add (QtSql, the SQLite driver, SQLite's page cache).
//
// Usage: bench_history                              prints one line for each history
//        bench_history --fill PATH ROWS PROVIDERS   writes a history of ROWS rows within the
//                                                   last 400 days, spread evenly over the
//                                                   first PROVIDERS providers
//        bench_history --measure PATH               (internal) one line of figures
#include "history/BalanceHistory.h"
#include "history/Forecast.h"
#include "refresh/RefreshState.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace creditgauge;

namespace {

long rssKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

double msSince(const QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}

struct Cost
{
    double record = 0; // ms
    double month = 0; // ms, reading the month back and the forecast from it
    qsizetype rows = 0;
};

// One balance arriving, as the refresh cycle handles it: kept, then the chart's month read back
// and the pace computed from it.
Cost balanceArrives(BalanceHistory &history, const QDateTime &now, double total)
{
    QElapsedTimer clock;
    clock.start();
    Cost cost;
    history.record(Provider::deepseek, {QStringLiteral("USD"), total, {}}, now);
    cost.record = msSince(clock);
    clock.restart();
    const QList<BalanceSample> month
        = history.samples(Provider::deepseek, now.addDays(-RefreshState::recentDays), true);
    const auto forecast = Forecast::compute(month, now);
    Q_UNUSED(forecast);
    cost.month = msSince(clock);
    cost.rows = month.size();
    return cost;
}

double median(QList<double> values)
{
    std::ranges::sort(values);
    return values.value(values.size() / 2);
}

int measure(const QString &path)
{
    const long before = rssKib();
    BalanceHistory history(path);
    QElapsedTimer clock;
    clock.start();
    history.isAvailable();
    const double open = msSince(clock);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    clock.restart();
    balanceArrives(history, now, 10.0);
    const double firstMs = msSince(clock);
    const long after = rssKib();
    QList<double> record, month;
    qsizetype rows = 0;
    for (int i = 1; i <= 200; ++i) {
        const Cost later = balanceArrives(history, now.addSecs(1800 * i), 10.0 - i * 0.01);
        record << later.record;
        month << later.month;
        rows = later.rows;
    }
    std::printf("%.1f %.2f %.3f %.3f %lld %ld\n", open, firstMs, median(record), median(month),
                qlonglong(rows), after - before);
    return 0;
}

// The details each provider's answers carry, so that rows are as long as real ones.
QString detailsJson(Provider provider, double total)
{
    const auto pair = [](const QString &a, double x, const QString &b, double y) {
        return QJsonArray {
            QJsonObject {{QStringLiteral("name"), a}, {QStringLiteral("amount"), x}},
            QJsonObject {{QStringLiteral("name"), b}, {QStringLiteral("amount"), y}}};
    };
    QJsonArray array;
    switch (provider.value()) {
    case Provider::deepseek:
        array = pair(QStringLiteral("Aufgeladen"), total - 1, QStringLiteral("Geschenkt"), 1);
        break;
    case Provider::openrouter:
        array = pair(QStringLiteral("Aufgeladen"), 50, QStringLiteral("Verbraucht"), 50 - total);
        break;
    default:
        array = pair(QStringLiteral("Bargeld"), total - 2, QStringLiteral("Gutschein"), 2);
        break;
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// The file is made by BalanceHistory, so its layout is the program's own; the rows go in
// through SQL in one transaction: kept one by one, each write would scan the whole table.
int fill(const QString &path, int rows, int providers)
{
    if (!BalanceHistory(path).isAvailable()) {
        std::fprintf(stderr, "bench_history: cannot create %s\n", qPrintable(path));
        return 1;
    }
    constexpr auto all = Provider::allCases();
    providers = std::clamp(providers, 1, int(all.size()));
    const QString connection = QStringLiteral("fill");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        QSqlQuery q(db);
        ok = db.open() && db.transaction()
            && q.prepare(QStringLiteral("INSERT INTO balances (at, provider, currency, total, "
                                        "details) VALUES (?, ?, ?, ?, ?)"));
        const int perProvider = (rows + providers - 1) / providers;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const qint64 span = qint64(BalanceHistory::keptDays) * 86400 * 1000 - 60000;
        for (int i = 0; ok && i < rows; ++i) {
            const Provider p = all[i % providers];
            const int n = i / providers;
            // Spent down from 50 to 3 by two cents a sample, then topped up again.
            const double total = 50 - 0.02 * (n % 2350);
            q.addBindValue(now - span + span * n / perProvider);
            q.addBindValue(p.rawValue());
            q.addBindValue(QStringLiteral("USD"));
            q.addBindValue(total);
            q.addBindValue(detailsJson(p, total));
            ok = q.exec();
        }
        ok = ok && db.commit();
    }
    QSqlDatabase::removeDatabase(connection);
    if (!ok)
        std::fprintf(stderr, "bench_history: cannot fill %s\n", qPrintable(path));
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == u"--fill" && args.size() == 5)
        return fill(args[2], args[3].toInt(), args[4].toInt());
    if (args.value(1) == u"--measure" && args.size() == 3)
        return measure(args[2]);
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: bench_history [--fill PATH ROWS PROVIDERS]\n");
        return 2;
    }

    QTemporaryDir dir;
    struct Case
    {
        const char *name;
        int rows;
        int providers;
    };
    std::printf("%-26s %8s %9s %10s %10s %7s %11s\n", "history", "open ms", "first ms", "record ms",
                "month ms", "rows", "memory KiB");
    for (const Case &c : {Case {"empty", 0, 1}, Case {"400 days, 19,200 rows", 19200, 1},
                          Case {"3 providers, 100,000 rows", 100000, 3}}) {
        const QString path = dir.filePath(QStringLiteral("%1.sqlite").arg(c.rows));
        if (c.rows > 0 && fill(path, c.rows, c.providers) != 0)
            return 1;
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--measure"), path});
        child.waitForFinished(-1);
        const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split(' ');
        std::printf("%-26s %8s %9s %10s %10s %7s %11s\n", c.name, f.value(0).constData(),
                    f.value(1).constData(), f.value(2).constData(), f.value(3).constData(),
                    f.value(4).constData(), f.value(5).constData());
    }
    std::printf("open: the file opened and checked; first: the first balance after that; record, "
                "month: median of 200 later balances, keeping it, and reading the month with the "
                "forecast; rows: the month's; memory: what opening and the first balance add\n");
    return 0;
}
