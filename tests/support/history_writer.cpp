// Writes balances into a history as fast as it can. Usage: history_writer PATH COUNT SEED
//   Row i: total SEED * 100000 + i, i minutes after a fixed start (same seed, same observations).
//   After each kept row, the count so far on stdout, flushed. A row that waits for the other
//   writer is tried again; one that fails ends it with status 1, why on stderr.
#include "history/BalanceHistory.h"

#include <QCoreApplication>
#include <QThread>

#include <csignal>
#include <cstdio>

using namespace creditgauge;
using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    // A file size limit set to make writes fail must not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    BalanceHistory history(args[1]);
    const int count = args[2].toInt(), seed = args[3].toInt();
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    for (int i = 0; i < count; ++i) {
        const Balance balance {u"USD"_s, seed * 100000.0 + i, {{u"Aufgeladen"_s, double(i)}}};
        bool kept = history.record(Provider::deepseek, balance, start.addSecs(60 * i));
        for (int wait = 0; !kept && history.writeProblem().isEmpty() && wait < 1000; ++wait) {
            QThread::msleep(10);
            kept = history.flush();
        }
        if (!kept) {
            std::fprintf(stderr, "row %d not kept: %s\n", i,
                         history.writeProblem().toLocal8Bit().constData());
            return 1;
        }
        std::printf("%d\n", i + 1);
        std::fflush(stdout);
    }
    return 0;
}
