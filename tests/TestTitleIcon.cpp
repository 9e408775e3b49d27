#include "app/TitleIcon.h"

#include <QImage>
#include <QTest>

#include <algorithm>
#include <cstdlib>

using namespace creditgauge;

namespace {

// The pixels the figure changes on the bare badge of the same colour.
QRect figureBounds(const QString &title, bool alarm, int size)
{
    const QImage badge = renderTitle(QString(), alarm, size);
    const QImage image = renderTitle(title, alarm, size);
    QRect bounds;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QColor a = badge.pixelColor(x, y);
            const QColor b = image.pixelColor(x, y);
            const int change
                = std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                            std::abs(a.blue() - b.blue()), std::abs(a.alpha() - b.alpha())});
            if (change > 40)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

int redPixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() == 255 && c.red() >= 180 && c.green() <= 90 && c.blue() <= 90)
                ++count;
        }
    }
    return count;
}

} // namespace

class TestTitleIcon : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void titleFigure_data();
    void titleFigure();
    void figureFitsBadge_data();
    void figureFitsBadge();
    void alarmIsRed_data();
    void alarmIsRed();
    void renderingIsStable();
    void iconCarriesTraySizes();
};

void TestTitleIcon::titleFigure_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("figure");

    QTest::newRow("no answer yet") << "$ \u2013" << "\u2013";
    QTest::newRow("failed") << "$ !" << "!";
    QTest::newRow("zero") << "$ 0" << "0";
    QTest::newRow("one digit") << "$ 1" << "1";
    QTest::newRow("two digits") << "$ 12" << "12";
    QTest::newRow("yuan") << "\u00a5 120" << "120";
    QTest::newRow("three digits stay") << "$ 999" << "999";
    QTest::newRow("thousands with a tenth") << "\u20ac 1.234" << "1,2k";
    QTest::newRow("zero tenth dropped") << "$ 1.050" << "1k";
    QTest::newRow("tenth truncated") << "$ 1.999" << "1,9k";
    QTest::newRow("ten thousands") << "$ 12.345" << "12k";
    QTest::newRow("hundred thousands") << "$ 123.456" << "123k";
    QTest::newRow("no rollover to 1000k") << "$ 999.999" << "999k";
    QTest::newRow("millions") << "$ 1.234.567" << "1,2M";
    QTest::newRow("billions") << "$ 12.345.678.901" << "12G";
    QTest::newRow("negative") << "$ -3" << "-3";
    QTest::newRow("negative thousands") << "$ -1.234" << "-1,2k";
    QTest::newRow("code as symbol") << "chf 7" << "7";
    QTest::newRow("empty symbol") << " 12" << "12";
    QTest::newRow("infinity kept") << "$ \u221e" << "\u221e";
    QTest::newRow("minus infinity kept") << "$ -\u221e" << "-\u221e";
    QTest::newRow("empty") << "" << "";
}

void TestTitleIcon::titleFigure()
{
    QFETCH(QString, title);
    QFETCH(QString, figure);
    QCOMPARE(creditgauge::titleFigure(title), figure);
}

void TestTitleIcon::figureFitsBadge_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("alarm");
    QTest::addColumn<int>("minHeight");

    for (const int size : {16, 22, 24}) {
        for (const bool alarm : {false, true}) {
            const QByteArray tag = QByteArray::number(size) + (alarm ? " alarm" : "");
            // A two-digit figure is the common case and should fill most of the badge; the
            // longest figures must at least stay on it.
            QTest::newRow(tag + " 12") << "$ 12" << size << alarm << size / 2;
            QTest::newRow(tag + " 1,2k") << "\u20ac 1.234" << size << alarm << 1;
            QTest::newRow(tag + " -123k") << "$ -123.456" << size << alarm << 1;
            QTest::newRow(tag + " dash") << "$ \u2013" << size << alarm << 1;
        }
    }
}

void TestTitleIcon::figureFitsBadge()
{
    QFETCH(QString, title);
    QFETCH(int, size);
    QFETCH(bool, alarm);
    QFETCH(int, minHeight);

    const QImage image = renderTitle(title, alarm, size);
    QCOMPARE(image.size(), QSize(size, size));
    const QRect figure = figureBounds(title, alarm, size);
    QVERIFY(!figure.isEmpty());
    // Off the outermost ring, where the badge's rim runs.
    QVERIFY2(QRect(1, 1, size - 2, size - 2).contains(figure),
             qPrintable(QStringLiteral("figure at %1,%2 %3x%4")
                            .arg(figure.x())
                            .arg(figure.y())
                            .arg(figure.width())
                            .arg(figure.height())));
    QVERIFY2(figure.height() >= minHeight, qPrintable(QString::number(figure.height())));
    const int leftGap = figure.left();
    const int rightGap = size - 1 - figure.right();
    QVERIFY2(std::abs(leftGap - rightGap) <= 1,
             qPrintable(QStringLiteral("gaps %1 and %2").arg(leftGap).arg(rightGap)));
}

void TestTitleIcon::alarmIsRed_data()
{
    QTest::addColumn<int>("size");
    for (const int size : {16, 22, 24, 64})
        QTest::newRow(QByteArray::number(size)) << size;
}

void TestTitleIcon::alarmIsRed()
{
    QFETCH(int, size);
    const QImage normal = renderTitle(QStringLiteral("$ 12"), false, size);
    const QImage alarm = renderTitle(QStringLiteral("$ 12"), true, size);
    QVERIFY(normal != alarm);
    QCOMPARE(redPixels(normal), 0);
    // Red must make up a good part of the badge, not a few fringe pixels.
    QVERIFY2(redPixels(alarm) >= size * size / 4, qPrintable(QString::number(redPixels(alarm))));
}

void TestTitleIcon::renderingIsStable()
{
    QCOMPARE(renderTitle(QStringLiteral("$ 1.234"), true, 22),
             renderTitle(QStringLiteral("$ 1.234"), true, 22));
    QVERIFY(renderTitle(QStringLiteral("$ 12"), false, 22)
            != renderTitle(QStringLiteral("$ 13"), false, 22));
    QVERIFY(renderTitle(QStringLiteral("$ 12"), false, 0).isNull());
}

void TestTitleIcon::iconCarriesTraySizes()
{
    const QList<QSize> available = titleIcon(QString(), false).availableSizes();
    for (const int size : {16, 22, 24, 32, 48, 64})
        QVERIFY2(available.contains(QSize(size, size)), qPrintable(QString::number(size)));
}

QTEST_MAIN(TestTitleIcon)
#include "TestTitleIcon.moc"
