#include "app/Appcast.h"

#include <QTest>

#include <optional>

using namespace creditgauge;
using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(std::optional<creditgauge::AppcastItem>)

namespace creditgauge {
// Lets QCOMPARE print both sides of a mismatch.
char *toString(const std::optional<AppcastItem> &item)
{
    if (!item)
        return qstrdup("nothing");
    return QTest::toString(u"{version %1, display %2, title %3, link %4}"_s.arg(
        item->version, item->displayVersion, item->title, item->link.toString()));
}
} // namespace creditgauge

namespace {

QByteArray feed(const QByteArray &items)
{
    return "<?xml version='1.0' encoding='utf-8'?>\n"
           "<rss version='2.0' "
           "xmlns:sparkle='http://www.andymatuschak.org/xml-namespaces/sparkle'>\n"
           "<channel><title>CreditGauge</title><link>https://example.org/</link>\n"
        + items + "</channel></rss>\n";
}

std::optional<AppcastItem> item(const QString &version, const QString &display,
                                const QString &title, const QString &link)
{
    return AppcastItem {version, display, title, link.isEmpty() ? QUrl() : QUrl(link)};
}

} // namespace

class TestAppcast : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void compareVersions_data();
    void compareVersions();
    void newestItem_data();
    void newestItem();
};

void TestAppcast::compareVersions_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");

    QTest::newRow("patch") << u"1.0.1"_s << u"1.0.2"_s << -1;
    QTest::newRow("numeric, not lexical") << u"1.0.10"_s << u"1.0.9"_s << 1;
    QTest::newRow("whole numbers") << u"10"_s << u"9"_s << 1;
    QTest::newRow("more parts are newer") << u"1.0"_s << u"1.0.1"_s << -1;
    QTest::newRow("beta before release") << u"1.0b"_s << u"1.0"_s << -1;
    QTest::newRow("rc before release") << u"1.0rc1"_s << u"1.0"_s << -1;
    QTest::newRow("dash beta before release") << u"1.0-beta"_s << u"1.0"_s << -1;
    QTest::newRow("alpha before beta") << u"1.0a"_s << u"1.0b"_s << -1;
    QTest::newRow("beta numbers numeric") << u"1.0b2"_s << u"1.0b10"_s << -1;
    QTest::newRow("number beats string") << u"1.1"_s << u"1.a"_s << 1;
    QTest::newRow("same") << u"1.0.1"_s << u"1.0.1"_s << 0;
    QTest::newRow("trailing zero") << u"2.1"_s << u"2.1.0"_s << 0;
    QTest::newRow("trailing zeros") << u"2.1"_s << u"2.1.0.0"_s << 0;
    QTest::newRow("leading zeros") << u"1.007"_s << u"1.7"_s << 0;
    QTest::newRow("beyond 64 bits") << u"99999999999999999999"_s << u"1"_s << 1;
    QTest::newRow("beyond 64 bits, last digit")
        << u"99999999999999999999"_s << u"99999999999999999998"_s << 1;
    // Zeros pad the shorter one, so this stays consistent with 1.0 == 1.0.0 > 1.0.0b.
    QTest::newRow("pre-release after zeros") << u"1.0"_s << u"1.0.0b"_s << 1;
    QTest::newRow("non-zero after zeros") << u"1.0"_s << u"1.0.0.1"_s << -1;
}

void TestAppcast::compareVersions()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);

    const auto sign = [](int v) {
        return (v > 0) - (v < 0);
    };
    QCOMPARE(sign(Appcast::compareVersions(a, b)), expected);
    QCOMPARE(sign(Appcast::compareVersions(b, a)), -expected);
}

void TestAppcast::newestItem_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<std::optional<AppcastItem>>("expected");

    QTest::newRow("version as elements")
        << feed("<item><title>CreditGauge 1.2</title>\n"
                "<link>https://example.org/download</link>\n"
                "<sparkle:version>120</sparkle:version>\n"
                "<sparkle:shortVersionString>1.2</sparkle:shortVersionString>\n"
                "<enclosure url='https://example.org/cg-1.2.tar.gz' length='10'/>\n"
                "</item>")
        << item(u"120"_s, u"1.2"_s, u"CreditGauge 1.2"_s, u"https://example.org/download"_s);
    QTest::newRow("version as enclosure attributes")
        << feed("<item><title>1.3</title>\n"
                "<enclosure url='https://example.org/cg-1.3.tar.gz' sparkle:version='130'\n"
                "sparkle:shortVersionString='1.3' length='10' type='application/gzip'/>\n"
                "</item>")
        << item(u"130"_s, u"1.3"_s, u"1.3"_s, u"https://example.org/cg-1.3.tar.gz"_s);
    QTest::newRow("element wins over attribute, display falls back to version")
        << feed("<item><sparkle:version>1.4</sparkle:version>\n"
                "<enclosure url='https://example.org/a' sparkle:version='9.9'/></item>")
        << item(u"1.4"_s, u"1.4"_s, QString(), u"https://example.org/a"_s);
    QTest::newRow("another prefix for the same namespace")
        << feed("<item xmlns:s='http://www.andymatuschak.org/xml-namespaces/sparkle'>\n"
                "<s:version>1.5</s:version></item>")
        << item(u"1.5"_s, u"1.5"_s, QString(), QString());
    QTest::newRow("highest regardless of order")
        << feed("<item><sparkle:version>1.0.9</sparkle:version></item>\n"
                "<item><sparkle:version>1.0.10</sparkle:version>\n"
                "<link>https://example.org/10</link></item>\n"
                "<item><sparkle:version>1.0.2</sparkle:version></item>")
        << item(u"1.0.10"_s, u"1.0.10"_s, QString(), u"https://example.org/10"_s);
    QTest::newRow("item without version skipped")
        << feed("<item><title>Announcement</title><link>https://example.org/news</link></item>\n"
                "<item><sparkle:version>1.1</sparkle:version></item>")
        << item(u"1.1"_s, u"1.1"_s, QString(), QString());
    QTest::newRow("version of another namespace is none")
        << feed("<item xmlns:o='urn:other'><o:version>7.0</o:version></item>\n"
                "<item><sparkle:version>1.1</sparkle:version></item>")
        << item(u"1.1"_s, u"1.1"_s, QString(), QString());
    QTest::newRow("delta enclosures are not the release")
        << feed("<item>\n"
                "<sparkle:version>2.0</sparkle:version>\n"
                "<sparkle:deltas><enclosure url='https://example.org/delta' sparkle:version='9.0'\n"
                "sparkle:deltaFrom='1.9'/></sparkle:deltas>\n"
                "<enclosure url='https://example.org/full'/></item>")
        << item(u"2.0"_s, u"2.0"_s, QString(), u"https://example.org/full"_s);
    QTest::newRow("http link dropped for https enclosure")
        << feed("<item>\n"
                "<link>http://example.org/download</link><sparkle:version>2.1</sparkle:version>\n"
                "<enclosure url='https://example.org/cg.tar.gz'/></item>")
        << item(u"2.1"_s, u"2.1"_s, QString(), u"https://example.org/cg.tar.gz"_s);
    QTest::newRow("no https address at all")
        << feed("<item>\n"
                "<link>javascript:alert(1)</link><link>/relative/download</link>\n"
                "<sparkle:version>2.2</sparkle:version>\n"
                "<enclosure url='ftp://example.org/cg.tar.gz'/></item>")
        << item(u"2.2"_s, u"2.2"_s, QString(), QString());

    QTest::newRow("malformed XML") << feed("<item><sparkle:version>1.1</sparkle:version></itm>")
                                   << std::optional<AppcastItem>();
    QTest::newRow("cut short")
        << feed("<item><sparkle:version>1.1</sparkle:version></item>").left(200)
        << std::optional<AppcastItem>();
    QTest::newRow("undeclared prefix")
        << QByteArray("<rss version='2.0'><channel><item>\n"
                      "<sparkle:version>1.1</sparkle:version></item></channel></rss>")
        << std::optional<AppcastItem>();
    QTest::newRow("empty body") << QByteArray() << std::optional<AppcastItem>();
    QTest::newRow("no items") << feed(QByteArray()) << std::optional<AppcastItem>();
    QTest::newRow("no item with a version")
        << feed("<item><title>1.1</title><enclosure url=\"https://example.org/x\"/></item>")
        << std::optional<AppcastItem>();
}

void TestAppcast::newestItem()
{
    QFETCH(QByteArray, xml);
    QFETCH(std::optional<AppcastItem>, expected);

    QCOMPARE(Appcast::newestItem(xml), expected);
}

QTEST_APPLESS_MAIN(TestAppcast)
#include "TestAppcast.moc"
