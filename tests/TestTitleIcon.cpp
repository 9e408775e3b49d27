#include "tray/BadgeGlyphs.h"
#include "tray/TitleIcon.h"

#include <QImage>
#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

class TestTitleIcon : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void badge_data()
    {
        QTest::addColumn<QString>("row"); // "title -> figure"
        for (const char *row :
             {"$ \u2013 -> \u2013", "$ ! -> !", "$ 999 -> 999", "\u20ac 1.234 -> 1,2k",
              "$ 1.050 -> 1k", "$ 1.999 -> 1,9k", "$ 12.345 -> 12k", "$ 1.234.567 -> 1,2M",
              "$ 12.345.678.901 -> 12G", "$ -1.234 -> -1,2k", "$ -\u221e -> -\u221e", " -> "})
            QTest::newRow(row) << QString::fromUtf8(row);
    }

    // The figure, drawn from the badge's own glyphs (the item loads no font whatever the
    // balance), stays off the badge's outer ring; only the alarm badge is red.
    void badge()
    {
        QFETCH(QString, row);
        const QString title = row.section(u" -> "_s, 0, 0);
        const QString figure = titleFigure(title);
        QCOMPARE(figure, row.section(u" -> "_s, 1));
        QVERIFY(badgeGlyphs(figure).has_value());
        for (const int size : {16, 22, 24}) {
            for (const bool alarm : {false, true}) {
                const QImage bare = renderTitle(QString(), alarm, size);
                const QImage image = renderTitle(title, alarm, size);
                QCOMPARE(image.size(), QSize(size, size));
                QRect ink; // the pixels the figure visibly changes
                int red = 0;
                for (int y = 0; y < size; ++y) {
                    for (int x = 0; x < size; ++x) {
                        const QRgb c = image.pixel(x, y);
                        red += qRed(c) - qGreen(c) > 100;
                        if (qAbs(qGray(c) - qGray(bare.pixel(x, y))) > 40)
                            ink |= QRect(x, y, 1, 1);
                    }
                }
                const QByteArray at = "at " + QByteArray::number(size);
                QVERIFY2(figure.isEmpty() ? ink.isEmpty()
                                          : QRect(1, 1, size - 2, size - 2).contains(ink),
                         at);
                QVERIFY2(alarm ? red >= size * size / 4 : red == 0, at);
            }
        }
    }
};

QTEST_MAIN(TestTitleIcon)
#include "TestTitleIcon.moc"
