#include "FakeProviderServer.h"
#include "update/UpdaterBridge.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QSignalSpy>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTest>

#include <tuple>

using namespace creditgauge;
using namespace Qt::Literals::StringLiterals;
using Outcome = UpdaterBridge::Outcome;

namespace {

const QString installed = QString::fromUtf8(CREDITGAUGE_VERSION);
const QUrl downloadPage(u"https://example.org/creditgauge/download"_s);

QByteArray feed(const QByteArray &version, const QByteArray &display)
{
    return "<rss "
           "xmlns:s='http://www.andymatuschak.org/xml-namespaces/sparkle'><channel><item><link>"
        + downloadPage.toEncoded() + "</link><s:version>" + version + "</s:version>"
        + "<s:shortVersionString>" + display + "</s:shortVersionString></item></channel></rss>";
}

} // namespace

// The bridge is one per process, so every check here goes through the same one.
class TestUpdaterBridge : public QObject
{
    Q_OBJECT
    QSslCertificate m_cert;
    QSslKey m_key;
    QList<QUrl> m_opened;

    static UpdaterBridge &bridge() { return UpdaterBridge::shared(); }

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(bridge().controllerCreationCount(), 0); // made on the first request, not before
        bridge().setUrlOpenerForTesting([this](const QUrl &url) {
            m_opened.append(url);
            return true;
        });
        if (QStandardPaths::findExecutable(u"openssl"_s).isEmpty() || !QSslSocket::supportsSsl())
            QSKIP("no openssl or no TLS backend");
        // A self-signed certificate for 127.0.0.1, trusted only where a row says so.
        std::tie(m_cert, m_key) = FakeProviderServer::selfSignedCertificate();
        QVERIFY(!m_cert.isNull() && !m_key.isNull());
    }

    void cleanup()
    {
        if (bridge().isChecking()) // left running by a failed row; closing cancels it
            bridge().dialog()->close();
    }

    void check_data()
    {
        QTest::addColumn<QByteArray>("body"); // null: no feed configured
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("heading");
        QTest::addColumn<QString>("detail");

        const QString failed = u"Die Suche nach Updates ist fehlgeschlagen."_s;
        const QString upToDate = u"CreditGauge ist aktuell."_s;
        const QString newest = u"Version %1 ist die neueste Version."_s.arg(installed);
        QTest::newRow("newer") << feed("99999", "99.9") << 200 << true << Outcome::UpdateAvailable
                               << u"Eine neue Version ist verfügbar."_s
                               << u"CreditGauge 99.9 ist erschienen (installiert: %1)."_s.arg(
                                      installed);
        // A feed's text is cut for the dialog, however long it is.
        QTest::newRow("enormous version text")
            << feed("99999", "9" + QByteArray(900 * 1024, '8')) << 200 << true
            << Outcome::UpdateAvailable << u"Eine neue Version ist verfügbar."_s
            << u"CreditGauge 9%1… ist erschienen (installiert: %2)."_s.arg(QString(38, u'8'),
                                                                           installed);
        QTest::newRow("same") << feed(CREDITGAUGE_VERSION, CREDITGAUGE_VERSION) << 200 << true
                              << Outcome::UpToDate << upToDate << newest;
        QTest::newRow("older") << feed("0.9.9", "0.9.9") << 200 << true << Outcome::UpToDate
                               << upToDate << newest;
        QTest::newRow("malformed")
            << feed("99999", "99.9").replace("</item>", "</itme>") << 200 << true << Outcome::Failed
            << failed << u"Der Update-Feed ist nicht lesbar."_s;
        QTest::newRow("HTTP 404") << QByteArray("not found") << 404 << true << Outcome::Failed
                                  << failed << u"Serverfehler (HTTP 404)"_s;
        QTest::newRow("untrusted certificate")
            << feed("99999", "99.9") << 200 << false << Outcome::Failed << failed
            << u"Sichere Verbindung fehlgeschlagen"_s;
        QTest::newRow("no feed") << QByteArray() << 200 << true << Outcome::NotConfigured
                                 << u"Updates kommen über die Paketverwaltung des Systems."_s
                                 << u"Diese Version von CreditGauge wird über die Paketverwaltung "
                                    "aktualisiert (z. B. apt)."_s;
    }

    void check()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(bool, trusted);
        QFETCH(Outcome, outcome);
        QFETCH(QString, heading);
        QFETCH(QString, detail);

        FakeProviderServer server; // a new origin per row, as Qt reuses connections
        QVERIFY(server.listenTls(m_cert, m_key));
        server.setResponse("/appcast.xml", status, body);
        std::optional<QSslConfiguration> tls;
        if (trusted) {
            tls = QSslConfiguration::defaultConfiguration();
            tls->addCaCertificate(m_cert);
        }
        bridge().setFeedForTesting(body.isNull() ? QUrl() : QUrl(server.url(u"/appcast.xml"_s)),
                                   tls);
        QSignalSpy finished(&bridge(), &UpdaterBridge::checkFinished);
        m_opened.clear();

        bridge().checkForUpdates();
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].value<Outcome>(), outcome);
        QMessageBox *dialog = bridge().dialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->text(), heading);
        QCOMPARE(dialog->informativeText(), detail);
        QCOMPARE(server.requests().size(), body.isNull() || !trusted ? 0 : 1);
        QCOMPARE(bridge().controllerCreationCount(), 1); // one for every check of the process
        QVERIFY(!QSslConfiguration::defaultConfiguration().caCertificates().contains(m_cert));

        // Only the download button opens anything, and only through the opener.
        const bool newer = outcome == Outcome::UpdateAvailable;
        const QList<QAbstractButton *> buttons = dialog->buttons();
        const auto button = std::ranges::find(buttons, newer ? u"Download-Seite öffnen"_s : u"OK"_s,
                                              &QAbstractButton::text);
        QVERIFY(button != buttons.end());
        (*button)->click();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(m_opened, newer ? QList<QUrl> {downloadPage} : QList<QUrl>());
    }
};

QTEST_MAIN(TestUpdaterBridge)
#include "TestUpdaterBridge.moc"
