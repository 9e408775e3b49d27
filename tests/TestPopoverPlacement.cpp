#include "tray/Popover.h"

#include <QApplication>
#include <QLabel>
#include <QTest>

using namespace creditgauge;

// Where the panel opens on a screen; under sway, which places windows itself, tray.sh shows it.
class TestPopoverPlacement : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void popoverStaysOnScreen_data()
    {
        QTest::addColumn<QRect>("anchor");
        QTest::addColumn<QPoint>("cursor");
        QTest::addColumn<QPoint>("expected");
        // A 1280x800 screen whose panel takes the top 24 pixels; the popover is 280x200.
        QTest::newRow("centred below") << QRect(600, 1, 22, 22) << QPoint() << QPoint(470, 24);
        QTest::newRow("right edge") << QRect(1250, 1, 22, 22) << QPoint() << QPoint(1000, 24);
        QTest::newRow("left edge") << QRect(2, 1, 22, 22) << QPoint() << QPoint(0, 24);
        QTest::newRow("bottom tray") << QRect(600, 777, 22, 22) << QPoint() << QPoint(470, 577);
        QTest::newRow("at the pointer") << QRect() << QPoint(100, 300) << QPoint(0, 301);
    }
    void popoverStaysOnScreen()
    {
        QFETCH(QRect, anchor);
        QFETCH(QPoint, cursor);
        const QRect available(0, 24, 1280, 776);
        const QPoint at = Popover::placement(anchor, QSize(280, 200), available, cursor);
        QTEST(at, "expected");
        QVERIFY(available.contains(QRect(at, QSize(280, 200))));
    }

    // Under Xwayland a click on the desktop reaches no window of ours: a clear one below the
    // popover takes it and closes the popover, telling where it was (not on the item).
    void clickOutsideUnderXwayland()
    {
        qputenv("WAYLAND_DISPLAY", "wayland-test");
        Popover popover(new QLabel(QStringLiteral("Guthaben")));
        popover.showAt(QRect(600, 1, 22, 22));
        QWidget *outside = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            outside = w != &popover && w->isVisible() ? w : outside;
        QVERIFY(outside && popover.isVisible());
        QTest::mouseClick(outside, Qt::LeftButton, {}, outside->mapFromGlobal(QPoint(100, 500)));
        QVERIFY(!popover.isVisible() && !outside->isVisible());
        QVERIFY(!popover.justClosedByClickOn(QRect(600, 1, 22, 22)));
    }
};

QTEST_MAIN(TestPopoverPlacement)
#include "TestPopoverPlacement.moc"
