#include "FakeProviderServer.h"
#include "app/UpdaterBridge.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace creditgauge;
using namespace Qt::Literals::StringLiterals;
using Outcome = UpdaterBridge::Outcome;

namespace {

const QByteArray feedPath = "/appcast.xml";
const QString installed = QString::fromUtf8(CREDITGAUGE_VERSION);
const QUrl downloadPage(u"https://example.org/creditgauge/download"_s);

QByteArray feed(const QByteArray &version, const QByteArray &shortVersion = QByteArray(),
                const QByteArray &padding = QByteArray())
{
    QByteArray item = "<item><title>CreditGauge</title><link>" + downloadPage.toEncoded()
        + "</link><sparkle:version>" + version + "</sparkle:version>";
    if (!shortVersion.isEmpty())
        item += "<sparkle:shortVersionString>" + shortVersion + "</sparkle:shortVersionString>";
    item += "</item>";
    return "<?xml version='1.0' encoding='utf-8'?>\n"
           "<rss version='2.0' xmlns:sparkle='http://www.andymatuschak.org/xml-namespaces/sparkle'>"
           "<channel><title>CreditGauge</title>"
        + padding + item + "</channel></rss>\n";
}

// The one message box on screen, as the user sees it.
QMessageBox *shownDialog()
{
    QMessageBox *shown = nullptr;
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        auto *box = qobject_cast<QMessageBox *>(window);
        if (box && box->isVisible()) {
            if (shown)
                return nullptr;
            shown = box;
        }
    }
    return shown;
}

QStringList buttonTexts(const QMessageBox *box)
{
    QStringList texts;
    const QList<QAbstractButton *> buttons = box->buttons();
    for (const QAbstractButton *button : buttons)
        texts.append(button->text());
    texts.sort();
    return texts;
}

QAbstractButton *buttonNamed(const QMessageBox *box, const QString &text)
{
    const QList<QAbstractButton *> buttons = box->buttons();
    const auto found = std::find_if(buttons.cbegin(), buttons.cend(),
                                    [&](const QAbstractButton *b) { return b->text() == text; });
    return found == buttons.cend() ? nullptr : *found;
}

} // namespace

class TestUpdaterBridge : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certDir;
    QString m_tlsUnavailable;
    QSslCertificate m_ca;
    QSslCertificate m_serverCert;
    QSslKey m_serverKey;
    std::unique_ptr<FakeProviderServer> m_server;
    QList<QUrl> m_opened;

    UpdaterBridge &bridge() { return UpdaterBridge::shared(); }
    void pointAt(const FakeProviderServer &server, bool trustTestCa);

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void controllerIsCreatedOnce();
    void outcomes_data();
    void outcomes();
    void downloadButtons_data();
    void downloadButtons();
    void noRequestWithoutHttpsFeed_data();
    void noRequestWithoutHttpsFeed();
    void secondRequestShowsRunningCheck();
};

void TestUpdaterBridge::initTestCase()
{
    // Made on the first request, not before.
    QCOMPARE(bridge().controllerCreationCount(), 0);
    QVERIFY(!bridge().dialog());
    bridge().setUrlOpenerForTesting([this](const QUrl &url) {
        m_opened.append(url);
        return true;
    });

    // A CA of our own, and a certificate it issued for 127.0.0.1.
    const QString openssl = QStandardPaths::findExecutable(u"openssl"_s);
    if (openssl.isEmpty()) {
        m_tlsUnavailable = u"openssl not found in PATH; cannot create a test CA"_s;
        return;
    }
    if (!QSslSocket::supportsSsl()) {
        m_tlsUnavailable = u"Qt has no TLS backend here"_s;
        return;
    }
    QVERIFY(m_certDir.isValid());
    // A config of our own, so that the system's openssl.cnf cannot change the certificates.
    QFile config(m_certDir.filePath(u"test.cnf"_s));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[req]\ndistinguished_name=dn\n[dn]\n"
                 "[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
                 "[server]\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                 "subjectAltName=IP:127.0.0.1\n");
    config.close();
    const QStringList newKey {u"-config"_s,
                              u"test.cnf"_s,
                              u"-nodes"_s,
                              u"-newkey"_s,
                              u"ec"_s,
                              u"-pkeyopt"_s,
                              u"ec_paramgen_curve:prime256v1"_s};
    const QList<QStringList> steps {
        QStringList {u"req"_s, u"-x509"_s, u"-extensions"_s, u"ca"_s, u"-subj"_s,
                     u"/CN=CreditGauge Updater Test CA"_s, u"-days"_s, u"2"_s, u"-keyout"_s,
                     u"ca.key"_s, u"-out"_s, u"ca.crt"_s}
            + newKey,
        QStringList {u"req"_s, u"-new"_s, u"-subj"_s, u"/CN=127.0.0.1"_s, u"-keyout"_s,
                     u"server.key"_s, u"-out"_s, u"server.csr"_s}
            + newKey,
        {u"x509"_s, u"-req"_s, u"-in"_s, u"server.csr"_s, u"-CA"_s, u"ca.crt"_s, u"-CAkey"_s,
         u"ca.key"_s, u"-set_serial"_s, u"2"_s, u"-days"_s, u"2"_s, u"-extfile"_s, u"test.cnf"_s,
         u"-extensions"_s, u"server"_s, u"-out"_s, u"server.crt"_s},
    };
    for (const QStringList &args : steps) {
        QProcess p;
        p.setWorkingDirectory(m_certDir.path());
        p.start(openssl, args);
        QVERIFY(p.waitForFinished(30000));
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
                 p.readAllStandardError().constData());
    }
    const auto read = [this](const QString &name) {
        QFile f(m_certDir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    m_ca = QSslCertificate(read(u"ca.crt"_s));
    m_serverCert = QSslCertificate(read(u"server.crt"_s));
    m_serverKey = QSslKey(read(u"server.key"_s), QSsl::Ec);
    QVERIFY(!m_ca.isNull() && !m_serverCert.isNull() && !m_serverKey.isNull());
}

void TestUpdaterBridge::init()
{
    if (!m_tlsUnavailable.isEmpty())
        QSKIP(qPrintable(m_tlsUnavailable));
    m_server = std::make_unique<FakeProviderServer>();
    QVERIFY(m_server->listenTls(m_serverCert, m_serverKey));
    pointAt(*m_server, true);
    m_opened.clear();
}

void TestUpdaterBridge::cleanup()
{
    // Ends a check a failed test left running, and puts the dialog away.
    if (QMessageBox *dialog = bridge().dialog())
        dialog->close();
    QVERIFY(!bridge().isChecking());
    m_server.reset();
    QVERIFY2(!QSslConfiguration::defaultConfiguration().caCertificates().contains(m_ca),
             "the test CA leaked into Qt's default configuration");
}

void TestUpdaterBridge::pointAt(const FakeProviderServer &server, bool trustTestCa)
{
    std::optional<QSslConfiguration> tls;
    if (trustTestCa) {
        tls = QSslConfiguration::defaultConfiguration();
        tls->addCaCertificate(m_ca);
    }
    bridge().setFeedForTesting(QUrl(server.url(QString::fromLatin1(feedPath))), tls);
}

void TestUpdaterBridge::controllerIsCreatedOnce()
{
    m_server->setResponse(feedPath, 200, feed(CREDITGAUGE_VERSION));
    QSignalSpy finished(&bridge(), &UpdaterBridge::checkFinished);

    bridge().checkForUpdates();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(bridge().controllerCreationCount(), 1);
    QMessageBox *first = bridge().dialog();

    bridge().checkForUpdates();
    QTRY_COMPARE(finished.size(), 2);
    QCOMPARE(bridge().controllerCreationCount(), 1);
    QCOMPARE(bridge().dialog(), first);
    QCOMPARE(m_server->requestsFor(feedPath).size(), qsizetype(2));
}

void TestUpdaterBridge::outcomes_data()
{
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<int>("requests");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QStringList>("buttons");

    const QString failed = u"Die Suche nach Updates ist fehlgeschlagen."_s;
    const QString upToDate = u"CreditGauge ist aktuell."_s;
    const QString newest = u"Version %1 ist die neueste Version."_s.arg(installed);
    const QStringList ok {u"OK"_s};

    QTest::newRow("newer version, shown by its display version")
        << true << 200 << feed("99999", "99.9") << QByteArray() << 1 << Outcome::UpdateAvailable
        << u"Eine neue Version ist verfügbar."_s
        << u"CreditGauge 99.9 ist erschienen (installiert: %1)."_s.arg(installed)
        << QStringList {u"Download-Seite öffnen"_s, u"Später"_s};
    QTest::newRow("same version") << true << 200 << feed(CREDITGAUGE_VERSION) << QByteArray() << 1
                                  << Outcome::UpToDate << upToDate << newest << ok;
    QTest::newRow("older version") << true << 200 << feed("0.9.9") << QByteArray() << 1
                                   << Outcome::UpToDate << upToDate << newest << ok;
    QTest::newRow("malformed feed")
        << true << 200 << feed("99999").replace("</item>", "</itme>") << QByteArray() << 1
        << Outcome::Failed << failed << u"Der Update-Feed ist nicht lesbar."_s << ok;
    QTest::newRow("feed without a version")
        << true << 200 << feed("").replace("<sparkle:version></sparkle:version>", "")
        << QByteArray() << 1 << Outcome::Failed << failed
        << u"Der Update-Feed nennt keine Version."_s << ok;
    QTest::newRow("HTTP 404") << true << 404 << QByteArray("not found") << QByteArray() << 1
                              << Outcome::Failed << failed << u"Serverfehler (HTTP 404)"_s << ok;
    QTest::newRow("HTTP 500 with a feed")
        << true << 500 << feed("99999") << QByteArray() << 1 << Outcome::Failed << failed
        << u"Serverfehler (HTTP 500)"_s << ok;
    // Well-formed and newer, but past the limit: it must not be read.
    QTest::newRow("oversized feed")
        << true << 200 << feed("99999", {}, "<!--" + QByteArray(1024 * 1024, 'x') + "-->")
        << QByteArray() << 1 << Outcome::Failed << failed << u"Der Update-Feed ist zu groß."_s
        << ok;
    QTest::newRow("untrusted certificate")
        << false << 200 << feed("99999") << QByteArray() << 0 << Outcome::Failed << failed
        << u"Sichere Verbindung fehlgeschlagen"_s << ok;
    QTest::newRow("redirect within https followed")
        << true << 302 << QByteArray() << QByteArray("/moved/appcast.xml") << 2 << Outcome::UpToDate
        << upToDate << newest << ok;
    QTest::newRow("redirect to http refused")
        << true << 302 << QByteArray() << QByteArray("http://127.0.0.1:9/appcast.xml") << 1
        << Outcome::Failed << failed << u"Unsichere Weiterleitung abgelehnt"_s << ok;
}

void TestUpdaterBridge::outcomes()
{
    QFETCH(bool, trustTestCa);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, location);
    QFETCH(int, requests);
    QFETCH(Outcome, outcome);
    QFETCH(QString, heading);
    QFETCH(QString, detail);
    QFETCH(QStringList, buttons);

    FakeProviderServer::Response response {status, body, {}, {}, false, {}, {}};
    if (!location.isEmpty())
        response.headers.append({"Location", location});
    m_server->setResponse(feedPath, response);
    m_server->setResponse("/moved/appcast.xml", 200, feed(CREDITGAUGE_VERSION));
    pointAt(*m_server, trustTestCa);
    QSignalSpy finished(&bridge(), &UpdaterBridge::checkFinished);

    bridge().checkForUpdates();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).value<Outcome>(), outcome);
    QCOMPARE(finished.at(0).at(1).toString(), detail);
    QVERIFY(!bridge().isChecking());

    QMessageBox *dialog = shownDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog, bridge().dialog());
    QCOMPARE(dialog->text(), heading);
    QCOMPARE(dialog->informativeText(), detail);
    QCOMPARE(buttonTexts(dialog), buttons);
    QTRY_COMPARE(QApplication::activeWindow(), dialog);

    const QList<FakeProviderServer::Request> received = m_server->requests();
    QCOMPARE(received.size(), qsizetype(requests));
    if (!received.isEmpty())
        QCOMPARE(received.front().target, feedPath);
    for (const FakeProviderServer::Request &request : received) {
        QCOMPARE(request.method, "GET");
        QCOMPARE(request.header("User-Agent"), "CreditGauge/" CREDITGAUGE_VERSION);
    }
    QVERIFY(m_opened.isEmpty());
}

void TestUpdaterBridge::downloadButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QList<QUrl>>("opened");

    QTest::newRow("open the download page")
        << u"Download-Seite öffnen"_s << QList<QUrl> {downloadPage};
    QTest::newRow("later") << u"Später"_s << QList<QUrl>();
}

void TestUpdaterBridge::downloadButtons()
{
    QFETCH(QString, button);
    QFETCH(QList<QUrl>, opened);

    m_server->setResponse(feedPath, 200, feed("99999"));
    QSignalSpy finished(&bridge(), &UpdaterBridge::checkFinished);
    bridge().checkForUpdates();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).value<Outcome>(), Outcome::UpdateAvailable);

    QMessageBox *dialog = shownDialog();
    QVERIFY(dialog);
    QAbstractButton *pressed = buttonNamed(dialog, button);
    QVERIFY(pressed);
    pressed->click();
    QVERIFY(!dialog->isVisible());
    QCOMPARE(m_opened, opened);
}

void TestUpdaterBridge::noRequestWithoutHttpsFeed_data()
{
    QTest::addColumn<bool>("plainHttpFeed");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QString>("detail");

    QTest::newRow("no feed configured")
        << false << Outcome::NotConfigured
        << u"Updates kommen über die Paketverwaltung des Systems."_s
        << u"Diese Version von CreditGauge wird über die Paketverwaltung aktualisiert (z. B. apt)."_s;
    QTest::newRow("plain http feed")
        << true << Outcome::Failed << u"Die Suche nach Updates ist fehlgeschlagen."_s
        << u"Die Adresse des Update-Feeds ist ungültig (nur HTTPS)."_s;
}

void TestUpdaterBridge::noRequestWithoutHttpsFeed()
{
    QFETCH(bool, plainHttpFeed);
    QFETCH(Outcome, outcome);
    QFETCH(QString, heading);
    QFETCH(QString, detail);

    FakeProviderServer plain;
    QVERIFY(plain.listen());
    plain.setResponse(feedPath, 200, feed("99999"));
    m_server->setResponse(feedPath, 200, feed("99999"));
    if (plainHttpFeed)
        bridge().setFeedForTesting(QUrl(plain.url(QString::fromLatin1(feedPath))), std::nullopt);
    else
        bridge().setFeedForTesting(QUrl(), std::nullopt);
    QSignalSpy finished(&bridge(), &UpdaterBridge::checkFinished);

    bridge().checkForUpdates();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).value<Outcome>(), outcome);
    QMessageBox *dialog = shownDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->text(), heading);
    QCOMPARE(dialog->informativeText(), detail);
    QVERIFY(!bridge().isChecking());
    // Long enough for a request to a server on this host to arrive, had one been sent.
    QTest::qWait(50);
    QVERIFY(plain.requests().isEmpty());
    QVERIFY(m_server->requests().isEmpty());
}

void TestUpdaterBridge::secondRequestShowsRunningCheck()
{
    FakeProviderServer::Response hang;
    hang.hang = true;
    m_server->setResponse(feedPath, hang);
    QSignalSpy finished(&bridge(), &UpdaterBridge::checkFinished);

    bridge().checkForUpdates();
    QMessageBox *dialog = shownDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->text(), u"Suche nach Updates \u2026"_s);
    QCOMPARE(buttonTexts(dialog), QStringList {u"Abbrechen"_s});
    QTRY_COMPARE(m_server->requests().size(), qsizetype(1));

    // Put out of sight, then asked for again: the same check comes back into view.
    dialog->hide();
    bridge().checkForUpdates();
    QCOMPARE(shownDialog(), dialog);
    QCOMPARE(dialog->text(), u"Suche nach Updates \u2026"_s);
    QVERIFY(bridge().isChecking());
    QTest::qWait(50);
    QCOMPARE(m_server->requests().size(), qsizetype(1));
    QVERIFY(finished.isEmpty());

    QAbstractButton *cancel = buttonNamed(dialog, u"Abbrechen"_s);
    QVERIFY(cancel);
    cancel->click();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).value<Outcome>(), Outcome::Cancelled);
    QVERIFY(!bridge().isChecking());
    QVERIFY(!shownDialog());

    // A cancelled check leaves nothing behind: the next one runs to its end.
    m_server->setResponse(feedPath, 200, feed(CREDITGAUGE_VERSION));
    bridge().checkForUpdates();
    QTRY_COMPARE(finished.size(), 2);
    QCOMPARE(finished.at(1).at(0).value<Outcome>(), Outcome::UpToDate);
    QCOMPARE(m_server->requests().size(), qsizetype(2));
}

QTEST_MAIN(TestUpdaterBridge)
#include "TestUpdaterBridge.moc"
