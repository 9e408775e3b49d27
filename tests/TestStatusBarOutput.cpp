#include "FakeProviderServer.h"
#include "TestSession.h"
#include "bar/StatusBarMode.h"
#include "providers/ProviderClient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Kind = RefreshState::Kind;

Q_DECLARE_METATYPE(BarFormat)

namespace {

RefreshState balanceState(double total, std::optional<SpendingForecast> forecast = {})
{
    return {.kind = Kind::Balance,
            .provider = Provider::deepseek,
            .balance = Balance {u"USD"_s, total, {{u"Aufgeladen"_s, total}}},
            .at = QDateTime(QDate(2026, 12, 7), QTime(14, 5)),
            .forecast = forecast};
}

// Both ends of a pipe, the read end non-blocking; what arrived, line by line.
struct Pipe
{
    int ends[2] = {-1, -1};
    QByteArray received;

    Pipe() { QVERIFY(::pipe2(ends, O_CLOEXEC) == 0 && ::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0); }
    ~Pipe()
    {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int which)
    {
        if (ends[which] >= 0)
            ::close(ends[which]);
        ends[which] = -1;
    }
    // Fills the pipe with line feeds through a description of its own, leaving the writer's
    // end blocking as a bar leaves it; how many.
    qsizetype fill()
    {
        const QByteArray path = "/proc/self/fd/" + QByteArray::number(ends[1]);
        const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        qsizetype filled = 0;
        // Whole pages, so that nothing fits once one is refused.
        for (const QByteArray page(4096, '\n'); ::write(fd, page.constData(), 4096) == 4096;)
            filled += 4096;
        ::close(fd);
        return filled;
    }
    QList<QByteArray> lines()
    {
        char bytes[4096];
        ssize_t count = 0;
        while ((count = ::read(ends[0], bytes, sizeof bytes)) > 0)
            received.append(bytes, count);
        QList<QByteArray> all = received.split('\n');
        all.removeLast(); // what follows the last line feed, if anything
        return all;
    }
};

QJsonObject json(const QByteArray &line)
{
    return QJsonDocument::fromJson(line).object();
}

// Empties the pipe should the test still wait after 20 s: a write that blocks the test's thread
// then fails the test instead of hanging the run.
struct Watchdog
{
    std::atomic<bool> needed = false;
    std::jthread thread;

    explicit Watchdog(int readEnd)
        : thread([this, readEnd](std::stop_token stop) {
            std::mutex mutex;
            std::unique_lock lock(mutex);
            std::condition_variable_any().wait_for(lock, stop, 20s, [] { return false; });
            char bytes[4096];
            while (!stop.stop_requested() && ::read(readEnd, bytes, sizeof bytes) > 0)
                needed = true;
        })
    { }
};

} // namespace

// The lines for text bars, and the mode that writes them, against a fake provider and the test
// session's secret service.
class TestStatusBarOutput : public QObject
{
    Q_OBJECT
public:
    TestStatusBarOutput() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void lines_data()
    {
        QTest::addColumn<RefreshState>("state");
        QTest::addColumn<BarFormat>("format");
        QTest::addColumn<QString>("line");

        const RefreshState ok = balanceState(1234.5);
        const RefreshState low = balanceState(1.5);
        const RefreshState noKey {.kind = Kind::NoKey, .provider = Provider::openrouter};
        QTest::newRow("plain") << ok << BarFormat::Plain << u"$ 1.235"_s;
        QTest::newRow("polybar") << ok << BarFormat::Polybar << u"$ 1.235"_s;
        QTest::newRow("polybar, low") << low << BarFormat::Polybar << u"%{F#ff7b72}$ 2%{F-}"_s;
        QTest::newRow("i3blocks")
            << ok << BarFormat::I3blocks
            << u"{\"full_text\":\"DeepSeek $ 1.235\",\"short_text\":\"$ 1.235\"}"_s;
        QTest::newRow("i3blocks, no key")
            << noKey << BarFormat::I3blocks
            << u"{\"color\":\"#ff7b72\",\"full_text\":\"OpenRouter $ –\",\"short_text\":\"$ –\"}"_s;
        QTest::newRow("nothing before the first answer")
            << RefreshState {} << BarFormat::Waybar << QString();
    }
    void lines()
    {
        QFETCH(RefreshState, state);
        QFETCH(BarFormat, format);
        QTEST(QString::fromUtf8(StatusBarOutput::line(format, state)), "line");
    }

    // waybar's JSON, parsed back; its text and tooltip are Pango markup, so whatever a message
    // holds arrives as text.
    void waybar_data()
    {
        QTest::addColumn<RefreshState>("state");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cssClass");
        QTest::addColumn<QString>("tooltip");

        const QString at = u"Zuletzt abgefragt: 14:05 Uhr"_s;
        QTest::newRow("ok, with the forecast")
            << balanceState(20, SpendingForecast {u"USD"_s, 1.2, 16.2}) << u"$ 20"_s << u"ok"_s
            << u"DeepSeek-Guthaben\n$ 20,00\nAufgeladen $ 20,00\nAlles in Ordnung.\n"_s + at
                + u"\n≈ $ 1,20 pro Tag · reicht noch ≈ 16 Tage"_s;
        QTest::newRow("low") << balanceState(1.5) << u"$ 2"_s << u"low"_s
                             << u"DeepSeek-Guthaben\n$ 1,50\nAufgeladen $ 1,50\n"
                                "Guthaben knapp — bitte aufladen.\n"_s
                + at;
        QTest::newRow("no key") << RefreshState {.kind = Kind::NoKey} << u"$ –"_s << u"nokey"_s
                                << u"DeepSeek-Guthaben\n$ –\nKein API-Key für DeepSeek "
                                   "hinterlegt.\nZuletzt abgefragt: –"_s;
        QTest::newRow("keyring")
            << RefreshState {.kind = Kind::StoreUnavailable,
                             .message = u"Der Schlüsselbund ist gesperrt."_s}
            << u"$ !"_s << u"unavailable"_s
            << u"DeepSeek-Guthaben\n$ –\nDer Schlüsselbund ist gesperrt.\nZuletzt abgefragt: –"_s;
        QTest::newRow("failed, markup escaped")
            << RefreshState {.kind = Kind::Failed,
                             .message = u"<b>A & B</b>"_s,
                             .at = balanceState(0).at}
            << u"$ !"_s << u"error"_s
            << u"DeepSeek-Guthaben\n$ –\n&lt;b&gt;A &amp; B&lt;/b&gt;\n"_s + at
                + u" (fehlgeschlagen)"_s;
    }
    void waybar()
    {
        QFETCH(RefreshState, state);
        const QByteArray line = StatusBarOutput::line(BarFormat::Waybar, state);
        QVERIFY(!line.contains('\n'));
        const QJsonObject object = json(line);
        QCOMPARE(object.keys(), (QStringList {u"alt"_s, u"class"_s, u"text"_s, u"tooltip"_s}));
        QTEST(object.value(u"text"_s).toString(), "text");
        QTEST(object.value(u"class"_s).toString(), "cssClass");
        QTEST(object.value(u"tooltip"_s).toString(), "tooltip");
        QCOMPARE(object.value(u"alt"_s).toString(), u"deepseek"_s);
    }

    void init()
    {
        if (!TestSession::startFresh(m_config.path()))
            QSKIP("needs the secret service of scripts/test-session.sh");
        m_server = FakeProviderServer::standIn();
        QVERIFY(m_server);
    }
    void cleanup()
    {
        m_mode.reset();
        m_server.reset();
    }

    // A line at start; SIGUSR1 (a bar's click) asks again and writes the next one, unless it is
    // the line the bar shows already.
    void refreshOnSignal()
    {
        TEST_SESSION_REQUIRE(TestSession::SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(12.5));
        Pipe out;
        start(BarFormat::Plain, out.ends[1]);
        QTRY_COMPARE(out.lines(), QList<QByteArray> {"$ 13"});

        m_server->setResponse("/user/balance", 200, deepseekBody(1.5));
        QSignalSpy answered(&m_mode->cycle(), &RefreshCycle::stateChanged);
        QVERIFY(::raise(SIGUSR1) == 0);
        QTRY_COMPARE(out.lines(), (QList<QByteArray> {"$ 13", "$ 2"}));
        QVERIFY(::raise(SIGUSR1) == 0);
        QTRY_COMPARE(answered.size(), 2);
        QCOMPARE(out.lines(), (QList<QByteArray> {"$ 13", "$ 2"}));
        QCOMPARE(m_server->requests().size(), 3);
    }

    // A bar that stops reading fills the pipe: the mode neither waits on it nor keeps the line
    // the bar missed. SIGTERM still ends it at once; read again, the pipe brings the newest
    // line whole, and the bar's end of it is still blocking.
    void fullPipe()
    {
        TEST_SESSION_REQUIRE(TestSession::SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(12.5));
        Pipe out;
        const qsizetype filled = out.fill();
        const Watchdog watchdog(out.ends[0]);
        start(BarFormat::Plain, out.ends[1]);
        QSignalSpy finished(m_mode.get(), &StatusBarMode::finished);
        QTRY_COMPARE(m_mode->cycle().state().title(), u"$ 13"_s);
        m_server->setResponse("/user/balance", 200, deepseekBody(1.5));
        QVERIFY(::raise(SIGUSR1) == 0);
        QTRY_COMPARE(m_mode->cycle().state().title(), u"$ 2"_s);

        QVERIFY(::raise(SIGTERM) == 0);
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QVERIFY2(!watchdog.needed, "the mode blocked on the full pipe");
        QTRY_COMPARE(out.lines().mid(filled), QList<QByteArray> {"$ 2"});
        QVERIFY(!(::fcntl(out.ends[1], F_GETFL) & O_NONBLOCK));
    }

    // i3blocks writes each click on a persistent block's standard input; only whole lines
    // count.
    void clickOnStandardInput()
    {
        TEST_SESSION_REQUIRE(TestSession::SecretService::Shared);
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
        m_server->setResponse("/user/balance", 200, deepseekBody(12.5));
        Pipe out;
        Pipe in;
        start(BarFormat::I3blocks, out.ends[1], in.ends[0]);
        QTRY_COMPARE(out.lines().size(), 1);
        QVERIFY(::write(in.ends[1], "{\"name\":\"creditgauge\",", 22) == 22);
        QTest::qWait(200);
        QCOMPARE(m_server->requests().size(), 1);
        QVERIFY(::write(in.ends[1], "\"button\":1}\n", 12) == 12);
        QTRY_COMPARE(m_server->requests().size(), 2);
        // The bar closing its end stops the clicks, not the output.
        in.closeEnd(1);
        m_server->setResponse("/user/balance", 200, deepseekBody(1.5));
        QVERIFY(::raise(SIGUSR1) == 0);
        QTRY_COMPARE(out.lines().size(), 2);
    }

    // i3blocks 1.4 passes its own input on, the clicks on every block, which it reads on
    // SIGIO: they stay unread.
    void sharedInputIsLeftAlone()
    {
        TEST_SESSION_REQUIRE(TestSession::SecretService::Shared);
        Pipe out;
        Pipe in;
        QVERIFY(::fcntl(in.ends[0], F_SETFL, ::fcntl(in.ends[0], F_GETFL) | O_ASYNC) == 0);
        start(BarFormat::I3blocks, out.ends[1], in.ends[0]);
        QTRY_COMPARE(out.lines().size(), 1);
        QVERIFY(::write(in.ends[1], "{\"button\":1}\n", 13) == 13);
        QTest::qWait(300);
        QCOMPARE(in.lines(), QList<QByteArray> {"{\"button\":1}"});
        QCOMPARE(out.lines().size(), 1);
    }

    // Without a key nothing is asked. The bar going away or SIGTERM ends the mode at once with
    // status 0, not at its next line; a click after that changes nothing and kills nothing.
    void endsQuietly_data()
    {
        QTest::addColumn<bool>("readerCloses"); // or SIGTERM
        QTest::newRow("reader closes") << true;
        QTest::newRow("SIGTERM") << false;
    }
    void endsQuietly()
    {
        TEST_SESSION_REQUIRE(TestSession::SecretService::Shared);
        Pipe out;
        start(BarFormat::Plain, out.ends[1]);
        QSignalSpy finished(m_mode.get(), &StatusBarMode::finished);
        QTRY_COMPARE(out.lines(), QList<QByteArray> {"$ –"});
        QCOMPARE(m_server->requests().size(), 0);
        QFETCH(bool, readerCloses);
        if (readerCloses)
            out.closeEnd(0);
        else
            QVERIFY(::raise(SIGTERM) == 0);
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QVERIFY(::raise(SIGUSR1) == 0);
        QTest::qWait(200);
        QCOMPARE(finished.size(), 1);
    }

    // Run without any secret service (tests/CMakeLists.txt).
    void withoutSecretService()
    {
        TEST_SESSION_REQUIRE(TestSession::SecretService::None);
        Pipe out;
        start(BarFormat::Waybar, out.ends[1]);
        QTRY_COMPARE(out.lines().size(), 1);
        QCOMPARE(json(out.lines().at(0)).value(u"class"_s).toString(), u"unavailable"_s);
        QCOMPARE(m_server->requests().size(), 0);
    }

    // The session bus going away (a logout, a killed dbus-daemon) leaves the keyring out of
    // reach for good: the real binary says so in one line and fails, so that the bar restarts
    // it or shows the failure.
    void sessionBusGone()
    {
        QProcess bus;
        bus.start(u"dbus-daemon"_s,
                  {QStringLiteral("--config-file=" DBUS_NO_SERVICES), u"--nofork"_s,
                   u"--print-address"_s});
        QVERIFY(bus.waitForReadyRead());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, QString::fromUtf8(bus.readLine().trimmed()));
        QProcess bar;
        bar.setProcessEnvironment(env);
        bar.start(QStringLiteral(CREDITGAUGE_BINARY), {u"--bar"_s});
        QVERIFY(bar.waitForReadyRead());
        QCOMPARE(bar.readAllStandardOutput(), QByteArray("$ !\n"));
        bus.kill();
        QVERIFY(bus.waitForFinished() && bar.waitForFinished());
        QCOMPARE(bar.exitStatus(), QProcess::NormalExit);
        QCOMPARE(bar.exitCode(), 1);
        const QByteArray err = bar.readAllStandardError();
        QVERIFY2(err.startsWith("creditgauge: Die D-Bus-Sitzung ist beendet")
                     && err.count('\n') == 1,
                 err.constData());
    }

private:
    void start(BarFormat format, int outFd, int inFd = -1)
    {
        m_mode = std::make_unique<StatusBarMode>(
            format, RefreshCycle::Options {.watchNetwork = false}, outFd, inFd);
        m_mode->start();
    }

    QTemporaryDir m_config;
    std::unique_ptr<FakeProviderServer> m_server;
    std::unique_ptr<StatusBarMode> m_mode;
};

QTEST_GUILESS_MAIN(TestStatusBarOutput)
#include "TestStatusBarOutput.moc"
