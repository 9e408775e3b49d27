#include "Contrast.h"
#include "TestSession.h"
#include "ui/ColorScheme.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using creditgauge::ColorScheme;

namespace {

bool dark()
{
    return QApplication::palette().color(QPalette::Window).lightness() < 128;
}

// Text on each of its grounds at 4.5:1 or better, in the palette the application has now (the
// selection's colours are the theme's: Qt's own reach 3.7:1).
bool readable()
{
    const QPalette p = QApplication::palette();
    return contrast(p.color(QPalette::Window), p.color(QPalette::WindowText)) >= 4.5
        && contrast(p.color(QPalette::Base), p.color(QPalette::Text)) >= 4.5
        && contrast(p.color(QPalette::Button), p.color(QPalette::ButtonText)) >= 4.5;
}

} // namespace

// The palette as the desktop portal's colour-scheme setting asks, at start and on a change,
// against a light theme (Qt's own here) or a dark one.
class TestColorScheme : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { QApplication::setPalette(QPalette()); }

    void followsThePortal_data()
    {
        QTest::addColumn<bool>("darkTheme");
        QTest::addColumn<QString>("first");
        QTest::addColumn<bool>("darkFirst");
        QTest::addColumn<QByteArray>("then");
        QTest::addColumn<bool>("darkThen");
        QTest::newRow("dark, then none") << false << u"1"_s << true << "0"_ba << false;
        QTest::newRow("light, then dark") << false << u"2"_s << false << "1"_ba << true;
        QTest::newRow("dark, then light") << false << u"1"_s << true << "2"_ba << false;
        QTest::newRow("light on a dark theme") << true << u"2"_s << false << "2"_ba << false;
        QTest::newRow("dark on a dark theme") << true << u"1"_s << true << "1"_ba << true;
    }
    void followsThePortal()
    {
        QFETCH(bool, darkTheme);
        QFETCH(QString, first);
        QFETCH(bool, darkFirst);
        QFETCH(QByteArray, then);
        QFETCH(bool, darkThen);
        if (darkTheme)
            QApplication::setPalette(QPalette(QColor(0x20, 0x20, 0x20)));
        const QPalette theme = QApplication::palette();
        TestSession::FakeDBusService portal;
        QVERIFY(portal.start({u"portal"_s, first}));
        ColorScheme scheme;
        QSignalSpy applied(&scheme, &ColorScheme::applied);
        QTRY_COMPARE(applied.size(), 1);
        QCOMPARE(dark(), darkFirst);
        QVERIFY(readable());
        QVERIFY(portal.send(then));
        QTRY_COMPARE(applied.size(), 2);
        QCOMPARE(dark(), darkThen);
        QVERIFY(readable());
        // What matches the theme is the theme's own palette, not a copy of ours.
        if (darkThen == darkTheme)
            QCOMPARE(QApplication::palette(), theme);
    }
};

QTEST_MAIN(TestColorScheme)
#include "TestColorScheme.moc"
