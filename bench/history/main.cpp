// What the balance history costs the process that keeps it, with a full history (400 days, a
// sample every half hour: 19,200 rows) beside an empty one: the time of the work done for each
// balance (keep it, read the chart's month, compute the forecast from it) and,
// the first time, of opening the database; and the resident memory that opening it adds
// (QtSql, the SQLite driver, SQLite's page cache).
//
// Usage: bench_history              prints one line for each history
//        bench_history PATH ROWS    (internal) one measurement in a fresh process
#include "history/BalanceHistory.h"
#include "history/Forecast.h"
#include "refresh/RefreshState.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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

// One balance arriving, as the refresh cycle handles it: kept, then the chart's month read back
// and the pace computed from it.
double balanceArrives(BalanceHistory &history, const QDateTime &now, double total)
{
    QElapsedTimer clock;
    clock.start();
    history.record(Provider::deepseek, {QStringLiteral("USD"), total, {}}, now);
    const QList<BalanceSample> month
        = history.samples(Provider::deepseek, now.addDays(-RefreshState::recentDays), true);
    const auto forecast = Forecast::compute(month, now);
    Q_UNUSED(forecast);
    return double(clock.nsecsElapsed()) / 1e6;
}

int measure(const QString &path)
{
    const long before = rssKib();
    BalanceHistory history(path);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const double first = balanceArrives(history, now, 10.0);
    const long after = rssKib();
    QList<double> later;
    for (int i = 1; i <= 200; ++i)
        later << balanceArrives(history, now.addSecs(1800 * i), 10.0 - i * 0.01);
    std::ranges::sort(later);
    std::printf("%.2f %.3f %ld\n", first, later[later.size() / 2], after - before);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3)
        return measure(QString::fromLocal8Bit(argv[1]));

    QTemporaryDir dir;
    const QString full = dir.filePath(QStringLiteral("full.sqlite"));
    {
        BalanceHistory history(full);
        const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-400);
        double total = 50;
        for (int i = 0; i < 400 * 48; ++i) {
            total = total < 3 ? 50 : total - 0.02;
            history.record(Provider::deepseek, {QStringLiteral("USD"), total, {}},
                           start.addSecs(1800 * i));
        }
    }
    for (const auto &[name, path] :
         {std::pair {"empty", dir.filePath(QStringLiteral("empty.sqlite"))},
          std::pair {"400 days", full}}) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {path, QStringLiteral("measure")});
        child.waitForFinished(-1);
        const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split(' ');
        std::printf("%-9s first balance (opens the file) %6s ms, each later one %6s ms, "
                    "memory added by opening %5s KiB\n",
                    name, f.value(0).constData(), f.value(1).constData(), f.value(2).constData());
    }
    return 0;
}
