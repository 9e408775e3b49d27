// Drives the tray application through a long run of refreshes, one after another, and prints
// its memory and open descriptors along the way. bench/soak starts it inside private namespaces
// and a private session with a tray host and a stored key: this program answers for DeepSeek
// itself on 127.0.0.1:443 (the host name resolves there, and the namespace trusts the CA that
// signed CERT), alternating between two balances, so that every refresh changes the title, the
// icon, the tooltip, the panel's texts and the forecast, as a balance that moves does.
//
// A refresh is asked for with SIGUSR1, as a text bar's click asks; the next one only once the
// tray has reported the state of the last, which it says on standard error when its
// creditgauge.refresh debug messages are on. A signal within a second of the last query's
// start waits for that query's follow-up, as bursts do, so refreshes come about one a second:
// 10,000 take close to three hours. With CG_SOAK_WRAP set (e.g. "heaptrack -o FILE")
// the tray runs under that command.
//
// Usage: bench_soak CREDITGAUGE CERT KEY REFRESHES
#include "FakeProviderServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMap>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

struct Usage
{
    long rssKib = -1;
    long pssKib = -1;
    QStringList descriptors; // what each open descriptor points to
    QStringList threads; // their names
};

long kibField(const QString &file, QByteArrayView key)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

Usage usageOf(qint64 pid)
{
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    Usage usage;
    usage.rssKib = kibField(proc + QStringLiteral("status"), "VmRSS:");
    usage.pssKib = kibField(proc + QStringLiteral("smaps_rollup"), "Pss:");
    const QDir fds(proc + QStringLiteral("fd"));
    for (const QString &fd : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        char target[512];
        const ssize_t n = ::readlink(qPrintable(fds.filePath(fd)), target, sizeof target);
        usage.descriptors << QString::fromLocal8Bit(target, std::max<ssize_t>(n, 0));
    }
    const QDir tasks(proc + QStringLiteral("task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task) + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly))
            usage.threads << QString::fromLocal8Bit(comm.readAll().trimmed());
    }
    return usage;
}

qint64 parentOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // The name in parentheses may hold blanks; the fields after it do not.
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
}

// The tray itself: the child, or under a wrapper the child's descendant of that name.
qint64 trayPid(qint64 child, const QString &name)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(child));
    if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toUtf8())
        return child;
    const QStringList all = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : all) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        QFile candidate(QStringLiteral("/proc/%1/comm").arg(pid));
        if (!number || !candidate.open(QIODevice::ReadOnly)
            || candidate.readAll().trimmed() != name.toUtf8())
            continue;
        for (qint64 p = parentOf(pid); p > 1; p = parentOf(p)) {
            if (p == child)
                return pid;
        }
    }
    return 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString grouped(long n)
{
    return QLocale(QLocale::English).toString(qlonglong(n));
}

void printRow(const QString &when, const Usage &u)
{
    std::printf("%-18s %9ld %9ld %12lld\n", qPrintable(when), u.rssKib, u.pssKib,
                qlonglong(u.descriptors.size()));
}

// What came and went between two lists, counted: several descriptors may point to one thing
// (/dev/null), several threads have one name.
void printChange(const QString &what, const QStringList &before, const QStringList &after)
{
    std::printf("%s: %lld before, %lld after\n", qPrintable(what), qlonglong(before.size()),
                qlonglong(after.size()));
    QMap<QString, int> change;
    for (const QString &item : after)
        ++change[item];
    for (const QString &item : before)
        --change[item];
    for (auto it = change.cbegin(); it != change.cend(); ++it) {
        if (it.value() != 0)
            std::printf("  %+d %s\n", it.value(), qPrintable(it.key()));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int refreshes = args.value(4).toInt();
    if (args.size() != 5 || refreshes < 1) {
        std::fprintf(stderr, "usage: bench_soak CREDITGAUGE CERT KEY REFRESHES\n");
        return 2;
    }

    FakeProviderServer server;
    // DeepSeek's, and those of the other providers bench/soak may store accounts of (with
    // CG_SOAK_ACCOUNTS): far from the low mark, and a whole unit apart, so that every title
    // changes every time.
    const std::pair<QByteArray, QByteArray> bodies[] = {
        {"/api/v1/credits", R"({"data":{"total_credits":%1,"total_usage":0}})"},
        {"/v1/users/me/balance", R"({"data":{"available_balance":%1}})"},
        {"/v1/user/info", R"({"code":20000,"status":true,"data":{"totalBalance":"%1"}})"},
        {"/v1/accounts", R"({"balance":%1})"},
    };
    const auto answer = [&](int turn) {
        const double amount = turn % 2 ? 43.4 : 41.6;
        server.setResponse("/user/balance", 200, deepseekBody(amount));
        for (const auto &[path, body] : bodies)
            server.setResponse(path, 200, QString::fromLatin1(body).arg(amount).toLatin1());
    };
    answer(0);
    if (!server.listenTls(QSslCertificate(readFile(args[2])), QSslKey(readFile(args[3]), QSsl::Ec),
                          443)) {
        std::fprintf(stderr, "bench_soak: cannot listen on 127.0.0.1:443\n");
        return 1;
    }

    QProcess tray;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_LOGGING_RULES"),
               QStringLiteral("creditgauge.refresh.debug=true"));
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    tray.setProcessEnvironment(env);
    tray.setStandardOutputFile(QProcess::nullDevice());
    tray.setReadChannel(QProcess::StandardError);
    QStringList command = qEnvironmentVariable("CG_SOAK_WRAP").split(u' ', Qt::SkipEmptyParts);
    command << args[1];

    int states = 0;
    int failed = 0;
    qint64 pid = 0;
    Usage start, early;
    QElapsedTimer clock;
    QList<qint64> lapsUs;
    int status = 0;
    const int earlyMark = std::min(1000, refreshes);

    QTimer silence;
    silence.setSingleShot(true);
    silence.setInterval(60000);
    QObject::connect(&silence, &QTimer::timeout, &app, [&] {
        std::fprintf(stderr, "bench_soak: no state for 60 s after %d refreshes\n", states - 1);
        status = 1;
        app.quit();
    });
    QObject::connect(&tray, &QProcess::finished, &app, [&] {
        std::fprintf(stderr, "bench_soak: the tray ended after %d refreshes\n", states - 1);
        status = 1;
        app.quit();
    });

    const auto finish = [&] {
        const Usage end = usageOf(pid);
        QObject::disconnect(&tray, &QProcess::finished, nullptr, nullptr);
        // The tray's own pid: under a wrapper, the wrapper then ends with it.
        ::kill(pid_t(pid), SIGTERM);
        tray.waitForFinished(60000);
        const double total = clock.nsecsElapsed() / 1e9;
        std::ranges::sort(lapsUs);

        std::printf("%-18s %9s %9s %12s\n", "refreshes", "RSS KiB", "PSS KiB", "descriptors");
        printRow(QStringLiteral("0 (after start)"), start);
        if (refreshes > earlyMark)
            printRow(grouped(earlyMark), early);
        printRow(grouped(refreshes), end);
        if (refreshes > earlyMark) {
            const long growth = end.rssKib - early.rssKib;
            std::printf("RSS growth from %s to %s refreshes: %ld KiB, %.0f bytes per refresh\n",
                        qPrintable(grouped(earlyMark)), qPrintable(grouped(refreshes)), growth,
                        growth * 1024.0 / (refreshes - earlyMark));
        }
        printChange(QStringLiteral("descriptors"), start.descriptors, end.descriptors);
        printChange(QStringLiteral("threads"), start.threads, end.threads);
        std::printf("%d refreshes in %.0f s, median %.1f ms from signal to state; %d failed\n",
                    refreshes, total, lapsUs.value(lapsUs.size() / 2) / 1000.0, failed);
        app.quit();
    };

    QElapsedTimer lap;
    QObject::connect(&tray, &QProcess::readyReadStandardError, &app, [&] {
        while (tray.canReadLine()) {
            const QByteArray line = tray.readLine();
            // The selected provider's state; the providers watched beside it ("beside it
            // moonshot now shows $ –", no key) are not the refresh the next signal waits for.
            const qsizetype shows = line.indexOf(" now shows ");
            if (shows < 0 || line.contains("beside it"))
                continue;
            silence.start();
            // A balance's title is a currency sign and a number ("$ 42"); anything else ("$ !",
            // "$ –") is counted, and the run goes on, but its figures then say less.
            const QByteArray figure = line.mid(shows + 11).split(' ').value(1);
            if (figure.isEmpty() || figure.front() < '0' || figure.front() > '9')
                ++failed;
            if (states++ == 0) {
                pid = trayPid(tray.processId(), QFileInfo(args[1]).fileName());
                if (pid == 0) {
                    std::fprintf(stderr, "bench_soak: the tray's process is not to be found\n");
                    status = 1;
                    app.quit();
                    return;
                }
                start = usageOf(pid);
                clock.start();
            } else {
                lapsUs << lap.nsecsElapsed() / 1000;
            }
            const int done = states - 1;
            if (done == earlyMark)
                early = usageOf(pid);
            if (done == refreshes) {
                finish();
                return;
            }
            answer(states);
            lap.start();
            ::kill(pid_t(pid), SIGUSR1);
        }
    });

    tray.start(command.takeFirst(), command);
    silence.start();
    app.exec();
    return status;
}
