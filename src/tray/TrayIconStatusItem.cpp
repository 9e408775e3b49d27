#include "TrayIconStatusItem.h"

#include "TitleIcon.h"
#include "core/Format.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

namespace creditgauge {

TrayIconStatusItem::TrayIconStatusItem(QObject *parent)
    : StatusItem(parent)
    , m_tray(new QSystemTrayIcon(this))
{
    // Qt refuses to show a tray icon without an icon; this one stands until the first title.
    m_tray->setIcon(titleIcon(Format::missingAmount(), false));
    connect(m_tray, &QSystemTrayIcon::activated, this, &TrayIconStatusItem::activated);
    m_tray->show();
    // The request to dock has gone out; the tray takes it from here.
    QTimer::singleShot(0, this, &StatusItem::shown);
}

TrayIconStatusItem::~TrayIconStatusItem() = default;

bool TrayIconStatusItem::isSystemTrayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIconStatusItem::setTitle(const QString &title, bool alarm)
{
    // Every new icon is re-sent to the tray (a repaint under XEmbed, a D-Bus signal with all
    // pixmaps under StatusNotifierItem), and the controller sets the same title often.
    if (m_titled && title == m_title && alarm == m_alarm)
        return;
    m_titled = true;
    m_title = title;
    m_alarm = alarm;
    m_tray->setIcon(titleIcon(title, alarm));
    updateToolTip();
}

void TrayIconStatusItem::setDetails(const QStringList &lines)
{
    m_details = lines;
    updateToolTip();
}

// The title and the panel's lines, for trays whose left click opens the menu and never shows
// the panel.
void TrayIconStatusItem::updateToolTip()
{
    const QString text = (QStringList {QStringLiteral("CreditGauge \u00b7 ") + m_title} + m_details)
                             .join(QLatin1Char('\n'));
    // Plain text; Qt would render one that looks like markup as rich text.
    m_tray->setToolTip(
        Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text);
}

void TrayIconStatusItem::setMenu(QMenu *menu)
{
    m_menu = menu;
    m_tray->setContextMenu(menu);
}

void TrayIconStatusItem::popUpMenu()
{
    if (!m_menu)
        return;
    const QRect item = anchor();
    if (item.isEmpty()) {
        // Qt keeps a menu opened at the pointer on its screen by itself.
        m_menu->popup(QCursor::pos());
        return;
    }

    const QPoint below = item.bottomLeft() + QPoint(0, 1);
    m_menu->popup(below);
    if (!m_menu->isVisible())
        return;
    // Only now, after aboutToShow has rebuilt it, is the menu's size known. Qt would flip a
    // menu that runs off the bottom over the item; open it above the item instead, and keep
    // it within the screen's free area.
    QScreen *screen = QGuiApplication::screenAt(item.center());
    if (!screen)
        screen = m_menu->screen();
    const QRect free = screen->availableGeometry();
    QRect placed(below, m_menu->size());
    if (placed.bottom() > free.bottom())
        placed.moveBottom(item.top() - 1);
    placed.moveLeft(std::clamp(placed.left(), free.left(),
                               std::max(free.left(), free.right() - placed.width() + 1)));
    placed.moveTop(std::clamp(placed.top(), free.top(),
                              std::max(free.top(), free.bottom() - placed.height() + 1)));
    if (placed.topLeft() != m_menu->pos())
        m_menu->move(placed.topLeft());
}

QRect TrayIconStatusItem::anchor() const
{
    return m_tray->geometry();
}

void TrayIconStatusItem::activated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger: {
        // A StatusNotifierItem click comes over D-Bus without modifiers, so the keyboard is
        // asked as well.
        const Qt::KeyboardModifiers modifiers
            = QGuiApplication::keyboardModifiers() | QGuiApplication::queryKeyboardModifiers();
        if (modifiers & Qt::ControlModifier)
            popUpMenu();
        else
            Q_EMIT clicked();
        break;
    }
    case QSystemTrayIcon::Context:
        // The tray opens the context menu itself: Qt's XEmbed icon on the button press, a
        // StatusNotifierItem host through the exported DBusMenu.
        break;
    case QSystemTrayIcon::DoubleClick:
        // Its first click has already arrived as a Trigger and toggled the panel; a second
        // toggle would close it again at once.
        break;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

} // namespace creditgauge
