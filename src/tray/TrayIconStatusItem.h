#pragma once

#include "StatusItem.h"

#include <QPointer>
#include <QSystemTrayIcon>

class QMenu;

namespace creditgauge {

// The status item as a QSystemTrayIcon, made only while no StatusNotifierHost is registered so
// that Qt makes it an XEmbed icon (see SwitchingStatusItem). The title becomes the icon (see
// titleIcon()), the menu the tray's context menu. Visible from construction on; Qt embeds it
// into an X11 tray whenever one appears.
class TrayIconStatusItem : public StatusItem
{
    Q_OBJECT
public:
    explicit TrayIconStatusItem(QObject *parent = nullptr);
    ~TrayIconStatusItem() override;

    static bool isSystemTrayAvailable();

    void setTitle(const QString &title, bool alarm) override;
    void setDetails(const QStringList &lines) override;
    void setMenu(QMenu *menu) override;
    void popUpMenu() override;
    QRect anchor() const override;

private:
    void activated(QSystemTrayIcon::ActivationReason reason);
    void updateToolTip();

    QSystemTrayIcon *m_tray;
    QPointer<QMenu> m_menu;
    QString m_title;
    QStringList m_details;
    bool m_alarm = false;
    bool m_titled = false;
};

} // namespace creditgauge
