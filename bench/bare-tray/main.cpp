// The smallest tray program Qt makes: one QSystemTrayIcon with an icon, a tooltip and a menu.
// bench/tray measures CreditGauge against it.
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    QPainter(&pixmap).fillRect(pixmap.rect().adjusted(1, 1, -1, -1), QColor(0x2b, 0x2b, 0x2b));
    QMenu menu;
    menu.addAction(QStringLiteral("Beenden"), &app, &QCoreApplication::quit);
    QSystemTrayIcon tray {QIcon(pixmap)};
    tray.setToolTip(QStringLiteral("bare tray"));
    tray.setContextMenu(&menu);
    tray.show();
    return QApplication::exec();
}
