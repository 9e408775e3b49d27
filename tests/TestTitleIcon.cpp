#include "Contrast.h"
#include "tray/BadgeGlyphs.h"
#include "tray/TitleIcon.h"

#include <QImage>
#include <QPainter>
#include <QTest>

#include <algorithm>

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

    // The figure, in the badge's own glyphs (no font loaded), stays off the outer ring; only the
    // alarm badge is red. On any panel (Breeze light and dark, GNOME, Xfce dark, waybar's blue
    // and red cells) the figure stands at 7:1 against the badge, the badge at 3:1 against the
    // panel by its fill or a one-pixel outline.
    void badge()
    {
        QFETCH(QString, row);
        const QString title = row.section(u" -> "_s, 0, 0), figure = titleFigure(title);
        QCOMPARE(figure, row.section(u" -> "_s, 1));
        QVERIFY(badgeGlyphs(figure).has_value());
        for (const int size : titleIconSizes) {
            for (const bool alarm : {false, true}) {
                const QImage bare = renderTitle(QString(), alarm, size);
                const QImage image = renderTitle(title, alarm, size);
                QCOMPARE(image.size(), QSize(size, size));
                QCOMPARE(QImage::fromData(plainPng(image)).convertToFormat(QImage::Format_RGBA8888),
                         image.convertToFormat(QImage::Format_RGBA8888)); // as waybar reads it
                const QColor fill = bare.pixelColor(size / 2, size / 2);
                QRect ink; // the pixels the figure visibly changes
                int red = 0;
                double best = 0; // the figure's contrast to the badge
                for (int y = 0; y < size; ++y) {
                    for (int x = 0; x < size; ++x) {
                        const QRgb c = image.pixel(x, y);
                        red += qRed(c) - qGreen(c) > 100;
                        best = std::max(best, contrast(c | 0xff000000, fill));
                        if (qAbs(qGray(c) - qGray(bare.pixel(x, y))) > 40)
                            ink |= QRect(x, y, 1, 1);
                    }
                }
                const QByteArray at = "at " + QByteArray::number(size);
                QVERIFY2(figure.isEmpty() ? ink.isEmpty()
                                          : QRect(1, 1, size - 2, size - 2).contains(ink),
                         at);
                QVERIFY2(alarm ? red >= size * size / 4 : red == 0, at);
                QVERIFY2(figure.isEmpty() || best >= 7, at + ": " + QByteArray::number(best));
                for (const QRgb panel :
                     {0xeff0f1, 0x31363b, 0x000000, 0x3c3c3c, 0x2980b9, 0xeb4d4b}) {
                    QImage shown(bare.size(), QImage::Format_RGB32);
                    shown.fill(panel);
                    QPainter(&shown).drawImage(0, 0, bare);
                    const double edge = contrast(shown.pixel(0, size / 2), panel);
                    QVERIFY2(std::max(contrast(fill, panel), edge) >= 3, at);
                }
            }
        }
    }
};

QTEST_MAIN(TestTitleIcon)
#include "TestTitleIcon.moc"
