#include "FakeProviderServer.h"
#include "update/Appcast.h"
#include "update/UpdaterBridge.h"

#include <QMessageBox>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

#include <algorithm>
#include <tuple>

using namespace creditgauge;
using namespace Qt::Literals::StringLiterals;
using Outcome = UpdaterBridge::Outcome;

namespace {

const QString installed = QString::fromUtf8(CREDITGAUGE_VERSION);

QByteArray feed(const QByteArray &items)
{
    return "<rss xmlns:s='http://www.andymatuschak.org/xml-namespaces/sparkle'><channel>" + items
        + "</channel></rss>";
}

QByteArray item(const QByteArray &version, const QByteArray &display)
{
    return "<item><link>https://example.org/creditgauge/download</link><s:version>" + version
        + "</s:version><s:shortVersionString>" + display + "</s:shortVersionString></item>";
}

} // namespace

// The feed and its versions, and the update check through the one bridge of the process.
class TestUpdaterBridge : public QObject
{
    Q_OBJECT
    QSslCertificate m_cert;
    QSslKey m_key;

private Q_SLOTS:
    void compareVersions_data()
    {
        QTest::addColumn<QString>("row"); // "a|<|b", "a|=|b" or "a|>|b"
        for (const char *row : {"1.0.10|>|1.0.9", "1.0|<|1.0.1", "1.0b|<|1.0", "1.0a|<|1.0b",
                                "1.0b2|<|1.0b10", "1.1|>|1.a", "2.1|=|2.1.0.0", "1.007|=|1.7"})
            QTest::newRow(row) << QString::fromUtf8(row);
    }
    void compareVersions()
    {
        QFETCH(QString, row);
        const QStringList p = row.split(u'|');
        const int sign = int(p[1] == u">"_s) - int(p[1] == u"<"_s);
        QCOMPARE(std::clamp(Appcast::compareVersions(p[0], p[2]), -1, 1), sign);
        QCOMPARE(std::clamp(Appcast::compareVersions(p[2], p[0]), -1, 1), -sign);
    }

    void newestItem_data()
    {
        QTest::addColumn<QByteArray>("items");
        QTest::addColumn<QString>("expected"); // version|display|link
        QTest::newRow("highest wins, versionless skipped")
            << "<item><link>https://e.org/n</link></item><item><s:version>1.9</s:version></item>"
               "<item><s:version>1.10</s:version></item>"_ba
            << u"1.10|1.10|"_s;
        QTest::newRow("http link dropped")
            << "<item><link>http://e.org/d</link><s:version>2</s:version></item>"_ba << u"2|2|"_s;
    }
    void newestItem()
    {
        QFETCH(QByteArray, items);
        const auto item = Appcast::newestItem(feed(items));
        QVERIFY(item);
        QTEST(item->version + u'|' + item->displayVersion + u'|' + item->link.toString(),
              "expected");
    }

    void check_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("detail");
        const QString newer = u"CreditGauge %1 ist erschienen (installiert: %2)."_s;
        QTest::newRow("newer") << feed(item("99999", "99.9")) << true << Outcome::UpdateAvailable
                               << newer.arg(u"99.9"_s, installed);
        QTest::newRow("same") << feed(item(CREDITGAUGE_VERSION, "x")) << true << Outcome::UpToDate
                              << u"Version %1 ist die neueste Version."_s.arg(installed);
        QTest::newRow("untrusted certificate")
            << feed(item("99999", "99.9")) << false << Outcome::Failed
            << u"Sichere Verbindung fehlgeschlagen"_s;
    }
    void check()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, trusted);
        QFETCH(Outcome, outcome);
        QFETCH(QString, detail);
        if (m_cert.isNull()) {
            std::tie(m_cert, m_key) = FakeProviderServer::selfSignedCertificate();
            if (m_cert.isNull() || m_key.isNull() || !QSslSocket::supportsSsl())
                QSKIP("no openssl or no TLS backend");
        }
        UpdaterBridge &bridge = UpdaterBridge::shared();
        FakeProviderServer server; // a new origin per row, as Qt reuses connections
        QVERIFY(server.listenTls(m_cert, m_key));
        server.setResponse("/appcast.xml", 200, body);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificate(m_cert);
        bridge.setFeedForTesting(QUrl(server.url(u"/appcast.xml"_s)),
                                 trusted ? std::optional(tls) : std::nullopt);
        QSignalSpy finished(&bridge, &UpdaterBridge::checkFinished);

        bridge.checkForUpdates();
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].value<Outcome>(), outcome);
        QMessageBox *dialog = bridge.dialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->informativeText(), detail);
        QCOMPARE(server.requests().size(), trusted ? 1 : 0);
        QVERIFY(!QSslConfiguration::defaultConfiguration().caCertificates().contains(m_cert));

        dialog->close();
    }
};

QTEST_MAIN(TestUpdaterBridge)
#include "TestUpdaterBridge.moc"
