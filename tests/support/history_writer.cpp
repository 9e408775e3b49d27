// Writes balances into a history database as fast as it can, for the tests of several writers
// and of a writer killed in the middle. Usage: history_writer PATH COUNT SEED
//   Row i has total SEED * 100000 + i at a fixed time i minutes after a fixed start, so two
//   writers with different seeds write different rows and two with the same seed the same
//   observations. After each kept row the number kept so far goes to stdout, flushed. A row
//   that waits for the other writer is written again until it is kept; one that cannot be
//   written ends the program with status 1 and the reason on stderr.
#include "history/BalanceHistory.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimeZone>

#include <csignal>
#include <cstdio>

using namespace creditgauge;

int main(int argc, char *argv[])
{
    // A file size limit set to make writes fail must not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    BalanceHistory history(args[1]);
    const int count = args[2].toInt();
    const int seed = args[3].toInt();
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    for (int i = 0; i < count; ++i) {
        const Balance balance {QStringLiteral("USD"),
                               seed * 100000.0 + i,
                               {{QStringLiteral("Aufgeladen"), double(i)}}};
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
