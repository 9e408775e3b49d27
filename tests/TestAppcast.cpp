#include "update/Appcast.h"

#include <QTest>

#include <algorithm>

using namespace creditgauge;
using namespace Qt::Literals::StringLiterals;

class TestAppcast : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void compareVersions_data()
    {
        QTest::addColumn<QString>("row"); // "a|<|b", "a|=|b" or "a|>|b"
        for (const char *row :
             {"1.0.1|<|1.0.2", "1.0.10|>|1.0.9", "1.0|<|1.0.1", "1.0b|<|1.0", "1.0rc1|<|1.0",
              "1.0-beta|<|1.0", "1.0a|<|1.0b", "1.0b2|<|1.0b10", "1.1|>|1.a", "1.0.1|=|1.0.1",
              "2.1|=|2.1.0.0", "1.007|=|1.7", "1.0|>|1.0.0b",
              "99999999999999999999|>|99999999999999999998", "2.1-0|=|2.1.0", "1.0 0b|<|1.0.1",
              "1.0 0b|<|1.0", "\u0661.\u0662|=|1.2"})
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

    // Reflexive, antisymmetric and transitive over versions that trip up simpler comparisons;
    // otherwise which item is newest would depend on the order of the feed.
    void compareVersionsIsATotalOrder()
    {
        const QStringList versions {u""_s, u"0"_s, u"1"_s, u"1.0"_s, u"1.0.0"_s, u"1.0 0b"_s,
                                    u"1.0b"_s, u"1.0b2"_s, u"1.0-beta"_s, u"1.0.1"_s, u"2.1"_s,
                                    u"2.1-0"_s, u"2.1.0"_s, u"2.1a"_s, u"2.a"_s, u"a"_s, u"B"_s,
                                    u"1..0"_s, u"1.01"_s, u"1.10"_s, u"00"_s, u"-1"_s, u"1e3"_s};
        const auto order = [](const QString &a, const QString &b) {
            return std::clamp(Appcast::compareVersions(a, b), -1, 1);
        };
        for (const QString &a : versions) {
            QCOMPARE(order(a, a), 0);
            for (const QString &b : versions) {
                QVERIFY2(order(a, b) == -order(b, a), qPrintable(a + u" / "_s + b));
                for (const QString &c : versions) {
                    if (order(a, b) <= 0 && order(b, c) <= 0)
                        QVERIFY2(order(a, c) <= 0, qPrintable(a + u" / "_s + b + u" / "_s + c));
                }
            }
        }
    }

    void newestItemDoesNotDependOnTheFeedsOrder()
    {
        const QList<AppcastItem> items {{u"2.1"_s, u"2.1"_s, u"A"_s, QUrl(u"https://e.org/a"_s)},
                                        {u"2.1.0"_s, u"2.1"_s, u"B"_s, QUrl(u"https://e.org/b"_s)},
                                        {u"2.1-0"_s, u"2.1"_s, u"C"_s, {}},
                                        {u"2.0.9"_s, u"2.0.9"_s, u"D"_s, {}}};
        QList<AppcastItem> shuffled = items;
        std::ranges::sort(shuffled, {}, &AppcastItem::title);
        do {
            QCOMPARE(Appcast::newestItem(shuffled)->title, u"B"_s);
        } while (std::ranges::next_permutation(shuffled, {}, &AppcastItem::title).found);
    }

    void newestItem_data()
    {
        QTest::addColumn<QString>("items");
        QTest::addColumn<QString>("expected"); // version|display|title|link
        QTest::newRow("elements")
            << u"<item><title>T</title><link>https://e.org/d</link><s:version>12</s:version>"
               "<s:shortVersionString>1.2</s:shortVersionString></item>"_s
            << u"12|1.2|T|https://e.org/d"_s;
        QTest::newRow("attributes") << u"<item><enclosure url='https://e.org/a' s:version='13' "
                                       "s:shortVersionString='1.3'/></item>"_s
                                    << u"13|1.3||https://e.org/a"_s;
        QTest::newRow("highest wins, versionless skipped")
            << u"<item><link>https://e.org/n</link></item><item><s:version>1.9</s:version></item>"
               "<item><s:version>1.10</s:version></item><item><s:version>1.2</s:version></item>"_s
            << u"1.10|1.10||"_s;
        QTest::newRow("http link dropped")
            << u"<item><link>http://e.org/d</link><s:version>2</s:version></item>"_s << u"2|2||"_s;
        QTest::newRow("malformed") << u"<item><s:version>1</s:version></item></x>"_s << u"-"_s;
    }

    void newestItem()
    {
        QFETCH(QString, items);
        QFETCH(QString, expected);
        const auto item = Appcast::newestItem(
            "<rss xmlns:s='http://www.andymatuschak.org/xml-namespaces/sparkle'><channel>"
            + items.toUtf8() + "</channel></rss>");
        QCOMPARE(item ? item->version + u'|' + item->displayVersion + u'|' + item->title + u'|'
                         + item->link.toString()
                      : u"-"_s,
                 expected);
    }
};

QTEST_APPLESS_MAIN(TestAppcast)
#include "TestAppcast.moc"
