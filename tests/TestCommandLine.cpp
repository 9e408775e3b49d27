#include "app/CommandLine.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <csignal>
#include <thread>

using namespace creditgauge;
using namespace Qt::StringLiterals;

using Env = QMap<QString, QString>;

namespace {

QProcessEnvironment environment(const Env &vars)
{
    QProcessEnvironment env;
    for (auto it = vars.cbegin(); it != vars.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

const Env x11 {{u"DISPLAY"_s, u":0"_s}};

QByteArray procFile(qint64 pid, const char *name)
{
    QFile file(u"/proc/%1/"_s.arg(pid) + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether the process has signalNumber in a mask of /proc/PID/status: "SigBlk" (blocked) or
// "SigCgt" (caught).
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

// What the command line does before any GUI library is loaded, and the real binary doing it
// with no display and no D-Bus session.
class TestCommandLine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void outcome_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Env>("env");
        QTest::addColumn<int>("exitCode"); // -1: the tray starts
        QTest::addColumn<QString>("out"); // the start of standard output
        QTest::addColumn<QString>("err"); // the start of standard error

        const QString usage = u"Aufruf: creditgauge [Optionen]"_s;
        QTest::newRow("-h") << QStringList {u"-h"_s} << Env {} << 0 << usage << QString();
        QTest::newRow("--help") << QStringList {u"--help"_s} << Env {} << 0 << usage << QString();
        QTest::newRow("-help, as Qt programs take it")
            << QStringList {u"-help"_s} << Env {} << 0 << usage << QString();
        QTest::newRow("-v") << QStringList {u"-v"_s} << Env {} << 0 << u"creditgauge 1.0.1\n"_s
                            << QString();
        QTest::newRow("--version")
            << QStringList {u"--version"_s} << x11 << 0 << u"creditgauge 1.0.1\n"_s << QString();
        QTest::newRow("help wins over a Qt option")
            << QStringList {u"-session"_s, u"1a2b"_s, u"--help"_s} << Env {} << 0 << usage
            << QString();

        const auto refused = [](const char *name, const QStringList &arguments,
                                const QString &err) {
            QTest::newRow(name) << arguments << x11 << 2 << QString() << u"creditgauge: "_s + err;
        };
        refused("unknown long option", {u"--bogus"_s},
                u"Unbekannte Option „--bogus“.\n\nAufruf:"_s);
        refused("unknown single-dash option keeps its spelling", {u"-x"_s},
                u"Unbekannte Option „-x“."_s);
        refused("unknown option with a value", {u"--bogus=openrouter"_s},
                u"Unbekannte Option „--bogus“."_s);
        refused("stray argument", {u"deepseek"_s}, u"Unerwartetes Argument „deepseek“."_s);
        refused("Qt option without its value", {u"-platform"_s},
                u"Der Option „-platform“ fehlt ihr Wert."_s);
        refused("flag given a value", {u"--version=2"_s},
                u"Die Option „--version“ nimmt keinen Wert."_s);

        // A session manager restarts the program with its own options.
        const auto starts = [](const char *name, const QStringList &arguments, const Env &env) {
            QTest::newRow(name) << arguments << env << -1 << QString() << QString();
        };
        starts("-session", {u"-session"_s, u"10d3f2"_s}, x11);
        starts("Qt's style and reverse", {u"-style"_s, u"fusion"_s, u"-reverse"_s}, x11);
        starts("Wayland", {}, {{u"WAYLAND_DISPLAY"_s, u"wayland-1"_s}});

        const QString noDisplay = u"creditgauge: Keine grafische Sitzung gefunden"_s;
        QTest::newRow("no display") << QStringList {} << Env {} << 1 << QString() << noDisplay;
        QTest::newRow("X11 asked for, only Wayland there")
            << QStringList {}
            << Env {{u"QT_QPA_PLATFORM"_s, u"xcb"_s}, {u"WAYLAND_DISPLAY"_s, u"wayland-0"_s}} << 1
            << QString() << noDisplay;
        starts("a platform that needs no display", {}, {{u"QT_QPA_PLATFORM"_s, u"offscreen"_s}});
        starts("-platform on the command line", {u"-platform"_s, u"offscreen"_s}, {});
        starts("-display on the command line", {u"-display"_s, u":1"_s},
               {{u"QT_QPA_PLATFORM"_s, u"xcb"_s}});
    }
    void outcome()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Env, env);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const CommandLine::Outcome o
            = CommandLine::parse(QStringList {u"creditgauge"_s} + arguments, environment(env));
        QCOMPARE(o.exitCode.value_or(-1), exitCode);
        QVERIFY(!o.bar);
        QVERIFY2(o.out.startsWith(out), qPrintable(o.out));
        QVERIFY2(o.err.startsWith(err), qPrintable(o.err));
        QCOMPARE(o.out.isEmpty(), out.isEmpty());
        QCOMPARE(o.err.isEmpty(), err.isEmpty());
        if (exitCode == 2)
            QVERIFY(o.err.endsWith(CommandLine::helpText()));
    }

    // The text-bar mode: needs no display; its format may follow as the next argument.
    void barMode_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("runs"); // "format provider", or the start of the error

        QTest::newRow("plain by default") << QStringList {u"--bar"_s} << u"0 -"_s;
        QTest::newRow("format as the next argument")
            << QStringList {u"--bar"_s, u"waybar"_s} << u"1 -"_s;
        QTest::newRow("format after =, provider")
            << QStringList {u"--bar=i3blocks"_s, u"--provider"_s, u"moonshot"_s} << u"2 moonshot"_s;
        QTest::newRow("provider first")
            << QStringList {u"--provider=openrouter"_s, u"--bar"_s, u"polybar"_s}
            << u"3 openrouter"_s;
        QTest::newRow("bare --bar before another option")
            << QStringList {u"--bar"_s, u"--provider"_s, u"deepseek"_s} << u"0 deepseek"_s;
        QTest::newRow("unknown format")
            << QStringList {u"--bar=json"_s}
            << u"creditgauge: Unbekanntes Format „json“ für --bar (plain, waybar, i3blocks oder "
               "polybar)."_s;
        QTest::newRow("a stray word after --bar")
            << QStringList {u"--bar"_s, u"Waybar"_s}
            << u"creditgauge: Unerwartetes Argument „Waybar“."_s;
        QTest::newRow("unknown provider")
            << QStringList {u"--bar"_s, u"--provider=DeepSeek"_s}
            << u"creditgauge: Unbekannter Anbieter „DeepSeek“ (deepseek, openrouter oder "
               "moonshot)."_s;
        QTest::newRow("provider without its value")
            << QStringList {u"--bar"_s, u"--provider"_s}
            << u"creditgauge: Der Option „--provider“ fehlt ihr Wert."_s;
        QTest::newRow("provider for the tray")
            << QStringList {u"--provider=moonshot"_s}
            << u"creditgauge: Die Option „--provider“ gilt nur mit „--bar“."_s;
    }
    void barMode()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, runs);
        const CommandLine::Outcome o
            = CommandLine::parse(QStringList {u"creditgauge"_s} + arguments, {});
        if (o.exitCode) {
            QCOMPARE(*o.exitCode, 2);
            QVERIFY2(o.err.startsWith(runs + u"\n\n"_s), qPrintable(o.err));
            return;
        }
        QVERIFY(o.bar);
        QCOMPARE(QString::number(int(*o.bar)) + u' '
                     + (o.provider ? o.provider->rawValue() : u"-"_s),
                 runs);
    }

    // Qt's Wayland plugin finds the compositor's default socket without WAYLAND_DISPLAY.
    void defaultWaylandSocket()
    {
        QTemporaryDir runtime;
        Env env {{u"QT_QPA_PLATFORM"_s, u"wayland"_s}, {u"XDG_RUNTIME_DIR"_s, runtime.path()}};
        QCOMPARE(CommandLine::parse({u"creditgauge"_s}, environment(env)).exitCode, 1);
        QFile socket(runtime.filePath(u"wayland-0"_s));
        QVERIFY(socket.open(QIODevice::WriteOnly));
        QCOMPARE(CommandLine::parse({u"creditgauge"_s}, environment(env)).exitCode, std::nullopt);
    }

    // The binary itself, with nothing of a desktop around it: no display, no session bus.
    void realBinary_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::newRow("help") << QStringList {u"--help"_s} << 0
                              << QByteArray("Aufruf: creditgauge [Optionen]\n") << QByteArray();
        QTest::newRow("version") << QStringList {u"--version"_s} << 0
                                 << QByteArray("creditgauge 1.0.1\n") << QByteArray();
        QTest::newRow("unknown option") << QStringList {u"--bogus"_s} << 2 << QByteArray()
                                        << QByteArray("creditgauge: Unbekannte Option");
        QTest::newRow("no display") << QStringList {} << 1 << QByteArray()
                                    << QByteArray("creditgauge: Keine grafische Sitzung");
    }
    void realBinary()
    {
        QFETCH(QStringList, arguments);
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                                 "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
            env.remove(QString::fromLatin1(name));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(CREDITGAUGE_BINARY), arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QTEST(process.exitCode(), "exitCode");
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        const QByteArray stdOut = process.readAllStandardOutput();
        const QByteArray stdErr = process.readAllStandardError();
        QVERIFY2(stdOut.startsWith(out) && stdOut.isEmpty() == out.isEmpty(), stdOut.constData());
        QVERIFY2(stdErr.startsWith(err) && stdErr.isEmpty() == err.isEmpty(), stdErr.constData());
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

        QElapsedTimer time;
        time.start();
        const auto starting = [&] {
            return time.elapsed() < 20000 && !procFile(pid, "stat").contains(") Z ");
        };
        const auto pause = [] {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        };
        while (starting() && !procFile(pid, "maps").contains(module)
               && !inMask(pid, "SigBlk", SIGUSR1))
            pause();
        // Until the handlers are set, and on into the wait for a tray or the first query.
        for (int after = 0; starting() && after < 100; pause()) {
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
