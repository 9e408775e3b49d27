#include "Contrast.h"
#include "TestSession.h"
#include "ui/ColorScheme.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using creditgauge::ColorScheme;

namespace {

// 1: a dark palette, 0: a light one, -1: text below 4.5:1 on a ground (but the selection's).
int look()
{
    const QPalette p = QApplication::palette();
    for (const auto &[ground, text] : {std::pair {QPalette::Window, QPalette::WindowText},
                                       {QPalette::Base, QPalette::Text},
                                       {QPalette::Button, QPalette::ButtonText}}) {
        if (contrast(p.color(ground), p.color(text)) < 4.5)
            return -1;
    }
    return p.color(QPalette::Window).lightness() < 128;
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
        QCOMPARE(look(), int(darkFirst));
        QVERIFY(portal.send(then));
        QTRY_COMPARE(applied.size(), 2);
        QCOMPARE(look(), int(darkThen));
        if (darkThen == darkTheme) // the theme's own palette then, not a copy of ours
            QCOMPARE(QApplication::palette(), theme);
    }
};

QTEST_MAIN(TestColorScheme)
#include "TestColorScheme.moc"
