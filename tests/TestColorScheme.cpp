#include "Contrast.h"
#include "TestSession.h"
#include "ui/ColorScheme.h"

#include <QApplication>
#include <QRegularExpression>
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

// The palette as the portal's colour-scheme asks, at start and on a change, over either theme.
class TestColorScheme : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { QApplication::setPalette(QPalette()); }

    void followsThePortal_data()
    {
        // "THEME: SETTING LOOK, SETTING LOOK": the portal's value and the palette, first and then
        QTest::addColumn<QString>("row");
        for (const char *row :
             {"light: 1 dark, 0 light", "light: 2 light, 1 dark", "light: 1 dark, 2 light",
              "dark: 2 light, 2 light", "dark: 1 dark, 1 dark"})
            QTest::newRow(row) << QString::fromLatin1(row);
    }
    void followsThePortal()
    {
        QFETCH(QString, row);
        const QStringList p = row.split(QRegularExpression(u"[:, ]+"_s));
        const bool darkTheme = p[0] == u"dark", darkThen = p[4] == u"dark";
        if (darkTheme)
            QApplication::setPalette(QPalette(QColor(0x20, 0x20, 0x20)));
        const QPalette theme = QApplication::palette();
        TestSession::FakeDBusService portal;
        QVERIFY(portal.start({u"portal"_s, p[1]}));
        ColorScheme scheme;
        QSignalSpy applied(&scheme, &ColorScheme::applied);
        QTRY_COMPARE(applied.size(), 1);
        QCOMPARE(look(), int(p[2] == u"dark"));
        QVERIFY(portal.send(p[3].toLatin1()));
        QTRY_COMPARE(applied.size(), 2);
        QCOMPARE(look(), int(darkThen));
        if (darkThen == darkTheme) // the theme's own palette then, not a copy of ours
            QCOMPARE(QApplication::palette(), theme);
    }
};

QTEST_MAIN(TestColorScheme)
#include "TestColorScheme.moc"
