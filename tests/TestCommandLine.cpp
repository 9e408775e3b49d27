#include "app/CommandLine.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <csignal>
#include <thread>

using namespace creditgauge;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QByteArray procFile(qint64 pid, const char *name)
{
    QFile file(u"/proc/%1/"_s.arg(pid) + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether signalNumber is in a mask of /proc/PID/status: "SigBlk" (blocked), "SigCgt" (caught).
bool inMask(qint64 pid, QByteArrayView mask, int signalNumber)
{
    for (const QByteArray &line : procFile(pid, "status").split('\n')) {
        if (line.startsWith(mask))
            return line.mid(mask.size() + 1).trimmed().toULongLong(nullptr, 16)
                & (quint64(1) << (signalNumber - 1));
    }
    return false;
}

} // namespace

// What the command line does before any GUI library is loaded, and the real binary starting
// with no display and no D-Bus session.
class TestCommandLine : public QObject
{
    Q_OBJECT
    QTemporaryDir m_runtime; // with a compositor's default socket

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QFile(m_runtime.filePath(u"wayland-0"_s)).open(QIODevice::WriteOnly));
    }

    void outcome_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("env");
        // "tray"; "bar FORMAT PROVIDER"; or the exit status and the start of what is printed
        // (after "creditgauge: " on standard error; a usage error's help text after it)
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *args, const char *env, const QString &e) {
            QTest::addRow("%s | %s", args, env)
                << QString::fromUtf8(args) << QString::fromUtf8(env) << e;
        };
        row("-h", "", u"0 Aufruf: creditgauge [Optionen]\n"_s);
        row("deepseek", "", u"2 Unerwartetes Argument „deepseek“."_s);
        // A session manager restarts the program with Qt's options.
        row("-session 10d3f2 -style fusion -reverse", "DISPLAY=:0", u"tray"_s);
        row("", "WAYLAND_DISPLAY=wayland-1", u"tray"_s);
        row("", "", u"1 Keine grafische Sitzung gefunden"_s);
        row("", "QT_QPA_PLATFORM=xcb WAYLAND_DISPLAY=wayland-0", u"1 Keine grafische Sitzung"_s);
        row("-platform offscreen", "", u"tray"_s);
        // Qt's Wayland plugin finds the compositor's default socket without WAYLAND_DISPLAY.
        row("", "QT_QPA_PLATFORM=wayland XDG_RUNTIME_DIR=/", u"1 Keine grafische Sitzung"_s);
        row("", "QT_QPA_PLATFORM=wayland XDG_RUNTIME_DIR={wayland-0}", u"tray"_s);
        // The text-bar mode needs no display; its format may follow as the next argument.
        row("--bar --provider deepseek", "", u"bar 0 deepseek"_s);
        row("--bar --provider all", "", u"bar 0 all"_s);
        row("--provider=openrouter --bar polybar", "", u"bar 3 openrouter"_s);
        row("--bar=json", "", u"2 Unbekanntes Format „json“ für --bar"_s);
        row("--bar --provider=DeepSeek", "", u"2 Unbekannter Anbieter „DeepSeek“"_s);
        // A name is looked up by the mode, which reads the accounts.
        row("--bar --account Arbeit", "", u"bar 0 Arbeit"_s);
        row("--account Arbeit", "DISPLAY=:0", u"2 Die Option „--account“ gilt nur mit „--bar“."_s);
        row("--bar --account a --provider deepseek", "", u"2 Entweder „--provider“"_s);
    }
    void outcome()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, env);
        QFETCH(QString, expected);
        QProcessEnvironment vars; // from "NAME=value NAME=value"
        for (const QString &var :
             env.replace(u"{wayland-0}"_s, m_runtime.path()).split(u' ', Qt::SkipEmptyParts))
            vars.insert(var.section(u'=', 0, 0), var.section(u'=', 1));
        const CommandLine::Outcome o = CommandLine::parse(
            QStringList {u"creditgauge"_s} + arguments.split(u' ', Qt::SkipEmptyParts), vars);
        QString seen = u"tray"_s;
        if (o.exitCode) {
            QVERIFY(!o.bar && (*o.exitCode ? o.out : o.err).isEmpty());
            QVERIFY(!*o.exitCode || o.err.startsWith(u"creditgauge: "_s));
            seen = QString::number(*o.exitCode) + u' ' + (*o.exitCode ? o.err.sliced(13) : o.out);
        } else if (o.bar) {
            seen = u"bar %1 %2"_s.arg(int(*o.bar))
                       .arg(o.account            ? *o.account
                                : o.allProviders ? u"all"_s
                                                 : u"-"_s);
        }
        if (o.exitCode == 2)
            QVERIFY(seen.endsWith(u".\n\n"_s + CommandLine::helpText()));
        QVERIFY2(seen.startsWith(expected), qPrintable(seen));
    }

    // A text bar's click sends SIGUSR1 to every process of the name, also to one that is just
    // starting; a session that ends sends SIGTERM. Sent from the moment main() runs (it loads
    // its mode's module, or holds the signals back) and while the program starts, they never
    // kill it; SIGTERM ends it with status 0, the tray while it waits for a tray.
    void signalsDuringStartUp_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("module");
        QTest::newRow("tray") << QStringList {} << QByteArray("/creditgauge-tray");
        QTest::newRow("bar") << QStringList {u"--bar"_s} << QByteArray("/creditgauge-bar");
    }
    void signalsDuringStartUp()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, module);
        QTemporaryDir dir;
        // The real binary with no display, no session bus and no folders of the user's.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(name));
        for (const char *name : {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
            env.insert(QString::fromLatin1(name), dir.path());
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(CREDITGAUGE_BINARY), arguments);
        QVERIFY(process.waitForStarted());
        const qint64 pid = process.processId();
        const QDeadlineTimer deadline(20000);
        const auto starting = [&] {
            return !deadline.hasExpired() && !procFile(pid, "stat").contains(") Z ");
        };
        while (starting() && !procFile(pid, "maps").contains(module)
               && !inMask(pid, "SigBlk", SIGUSR1))
            std::this_thread::sleep_for(200us);
        // Until the handlers are set, and on into the wait for a tray or the first query.
        for (int after = 0; starting() && after < 100; std::this_thread::sleep_for(200us)) {
            ::kill(pid_t(pid), SIGUSR1);
            after += inMask(pid, "SigCgt", SIGTERM);
        }
        ::kill(pid_t(pid), SIGTERM);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "TestCommandLine.moc"
