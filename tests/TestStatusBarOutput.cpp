#include "FakeProviderServer.h"
#include "TestSession.h"
#include "bar/StatusBarMode.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

using namespace creditgauge;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Kind = RefreshState::Kind;

Q_DECLARE_METATYPE(BarFormat)

namespace {

// waybar's line: one JSON object, with the tooltip's lines.
QByteArray waybar(const char *cssClass, const QString &text, const QStringList &tooltip,
                  const QString &alt = u"deepseek"_s)
{
    return QJsonDocument(QJsonObject {{u"alt"_s, alt},
                                      {u"class"_s, QString::fromLatin1(cssClass)},
                                      {u"text"_s, text},
                                      {u"tooltip"_s, tooltip.join(u'\n')}})
        .toJson(QJsonDocument::Compact);
}

// Both ends of a pipe, the read end non-blocking; what arrived, line by line.
struct Pipe
{
    int ends[2] = {-1, -1};
    QByteArray received;

    Pipe() { QVERIFY(::pipe2(ends, O_CLOEXEC) == 0 && ::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0); }
    ~Pipe() { ::close(ends[0]), ::close(ends[1]); }
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
        for (ssize_t count; (count = ::read(ends[0], bytes, sizeof bytes)) > 0;)
            received.append(bytes, count);
        QList<QByteArray> all = received.split('\n');
        all.removeLast(); // what follows the last line feed, if anything
        return all;
    }
};

} // namespace

// The lines for text bars, and the mode that writes them, against a fake provider answering
// $ 12.50 and the test session's secret service holding a key.
class TestStatusBarOutput : public QObject
{
    Q_OBJECT
public:
    TestStatusBarOutput() { qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8()); }

private Q_SLOTS:
    void init()
    {
        if (!TestSession::startFresh(m_config.path())
            || !TestSession::has(TestSession::SecretService::Shared))
            QSKIP("needs the secret service of scripts/test-session.sh");
        m_server = FakeProviderServer::standIn();
        QVERIFY(m_server);
        m_server->setResponse("/user/balance", 200, deepseekBody(12.5));
        QVERIFY(TestSession::storeKey(u"sk-test"_s, u"api-key"_s));
    }

    // waybar reads text and tooltip as Pango markup: a message must arrive as text. The others
    // watched join the tooltip; together, the text too, the selected one only with a key.
    void lines_data()
    {
        QTest::addColumn<RefreshState>("state");
        QTest::addColumn<BarFormat>("format");
        QTest::addColumn<QList<RefreshState>>("others");
        QTest::addColumn<bool>("together");
        QTest::addColumn<QByteArray>("line");
        const RefreshState low {.kind = Kind::Balance,
                                .balance = Balance {u"USD"_s, 1.5, {}},
                                .at = QDateTime(QDate(2026, 12, 7), QTime(14, 5))};
        RefreshState fine = low, moonshot = low;
        fine.balance = Balance {u"CNY"_s, 12.5, {}};
        moonshot.provider = Provider::moonshot;
        const RefreshState router {.kind = Kind::Failed,
                                   .provider = Provider::openrouter,
                                   .message = u"Netzwerkfehler"_s,
                                   .at = low.at};
        const QList<RefreshState> none;
        QTest::newRow("polybar, low")
            << low << BarFormat::Polybar << none << false << "%{F#ff7b72}$ 2%{F-}"_ba;
        // A second account follows its provider's first, its name after the initials.
        RefreshState work = fine;
        work.accountId = u"deepseek-2"_s, work.accountName = u"Arbeit"_s;
        QTest::newRow("polybar, together, the low one red")
            << fine << BarFormat::Polybar << QList {moonshot, work} << true
            << "DS ¥ 13 · DS Arbeit ¥ 13 · %{F#ff7b72}MS $ 2%{F-}"_ba;
        RefreshState marked = fine;
        marked.lowMark = 20;
        QTest::newRow("polybar, under its own mark")
            << marked << BarFormat::Polybar << none << false << "%{F#ff7b72}¥ 13%{F-}"_ba;
        // Together, a selected provider left out (no key, loading) has no say in the class.
        RefreshState fineMoonshot = fine;
        fineMoonshot.provider = Provider::moonshot;
        QTest::newRow("waybar, together, no key for the selected")
            << RefreshState {.kind = Kind::NoKey} << BarFormat::Waybar << QList {fineMoonshot}
            << true
            << waybar("ok", u"MS ¥ 13"_s,
                      {u"DeepSeek-Guthaben"_s, u"$ –"_s, u"Kein API-Key für DeepSeek hinterlegt."_s,
                       u"Zuletzt abgefragt: –"_s, u"Moonshot: ¥ 12,50 · 14:05 Uhr"_s},
                      u"all"_s);
        QTest::newRow("waybar, the others in the tooltip")
            << fine << BarFormat::Waybar << QList {router} << false
            << waybar("ok", u"¥ 13"_s,
                      {u"DeepSeek-Guthaben"_s, u"¥ 12,50"_s, u"Alles in Ordnung."_s,
                       u"Zuletzt abgefragt: 14:05 Uhr"_s,
                       u"OpenRouter: $ – · Netzwerkfehler · 14:05 Uhr"_s});
        // Without an amount, the symbol is still that of the provider's currency.
        QTest::newRow("waybar, keyring, yuan")
            << RefreshState {.kind = Kind::StoreUnavailable,
                             .provider = Provider::stepfun,
                             .message = u"Der Schlüsselbund ist gesperrt."_s}
            << BarFormat::Waybar << none << false
            << waybar("unavailable", u"¥ !"_s,
                      {u"StepFun-Guthaben"_s, u"¥ –"_s, u"Der Schlüsselbund ist gesperrt."_s,
                       u"Zuletzt abgefragt: –"_s},
                      u"stepfun"_s);
        QTest::newRow("waybar, failed, markup escaped")
            << RefreshState {.kind = Kind::Failed, .message = u"<b>A & B</b>"_s, .at = low.at}
            << BarFormat::Waybar << none << false
            << waybar("error", u"$ !"_s,
                      {u"DeepSeek-Guthaben"_s, u"$ –"_s, u"&lt;b&gt;A &amp; B&lt;/b&gt;"_s,
                       u"Zuletzt abgefragt: 14:05 Uhr (fehlgeschlagen)"_s});
    }
    void lines()
    {
        QFETCH(RefreshState, state);
        QFETCH(BarFormat, format);
        QFETCH(QList<RefreshState>, others);
        QFETCH(bool, together);
        QTEST(StatusBarOutput::line(format, state, others, together), "line");
    }

    // A click asks again and writes the next line, unless the bar shows it already: SIGUSR1, or
    // a line on standard input, where i3blocks writes the clicks on a persistent block; closing
    // that input stops those clicks, not the output. A bar that stops reading fills the pipe:
    // the mode neither waits on it nor keeps the lines the bar missed; read again, the pipe
    // brings the newest line whole, and the bar's end of it is still blocking.
    void clicksAndABarThatStopsReading()
    {
        Pipe out, in;
        StatusBarMode mode(BarFormat::I3blocks, {.watchNetwork = false}, out.ends[1], in.ends[0]);
        mode.start();
        QSignalSpy answered(&mode.cycle(), &RefreshCycle::stateChanged);
        QTRY_COMPARE(answered.size(), 1);
        QVERIFY(::write(in.ends[1], "{\"name\":\"creditgauge\",\"button\":1}\n", 34) == 34);
        QTRY_COMPARE(answered.size(), 2);
        QCOMPARE(out.lines().size(), 1);
        ::close(std::exchange(in.ends[1], -1));
        const qsizetype filled = 1 + out.fill();
        ::alarm(20); // a mode that blocks on the pipe ends the run rather than hang it
        for (const double total : {1.5, 3.0}) {
            m_server->setResponse("/user/balance", 200, deepseekBody(total));
            QVERIFY(::raise(SIGUSR1) == 0);
            QTRY_COMPARE(answered.size(), total < 2 ? 3 : 4);
        }
        ::alarm(0);
        QTRY_COMPARE(out.lines().mid(filled),
                     QList {StatusBarOutput::line(BarFormat::I3blocks, mode.cycle().state())});
        QVERIFY(!(::fcntl(out.ends[1], F_GETFL) & O_NONBLOCK));
    }

    // Together, the first line waits for every keyed provider's answer: no growth per answer.
    void togetherTheFirstLineHoldsEveryAnswer()
    {
        QVERIFY(TestSession::storeKey(u"sk-ms"_s, u"api-key-moonshot"_s));
        m_server->setResponse("/user/balance", {.body = deepseekBody(12.5), .delay = 500ms});
        m_server->setResponse("/v1/users/me/balance", 200, R"({"data": {"available_balance": 5}})");
        Pipe out;
        StatusBarMode mode(BarFormat::Plain, {.watchNetwork = false, .allProviders = true},
                           out.ends[1], -1);
        mode.start();
        QTRY_COMPARE(out.lines(), QList {"DS $ 13 · MS $ 5"_ba});
    }

private:
    QTemporaryDir m_config;
    std::unique_ptr<FakeProviderServer> m_server;
};

QTEST_GUILESS_MAIN(TestStatusBarOutput)
#include "TestStatusBarOutput.moc"
