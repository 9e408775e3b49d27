#pragma once

#include <QObject>
#include <QRect>
#include <QString>

class QMenu;

namespace creditgauge {

// The seam between the controller and the desktop's tray. The controller sets a title and an
// alarm flag and hands over its menu; the tray reports plain clicks and tells where the panel
// should be anchored. Another tray backend implements this and nothing in the controller
// changes.
class StatusItem : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The balance text, e.g. "$ 12" or "$ –", drawn in the alarm colour when `alarm` is set.
    virtual void setTitle(const QString &title, bool alarm) = 0;
    // Longer text for trays that show one on hover (the full title and the panel's summary).
    virtual void setToolTip(const QString &toolTip) = 0;
    // The menu the tray opens on a right click. Not owned; the controller rebuilds its
    // contents on QMenu::aboutToShow.
    virtual void setMenu(QMenu *menu) = 0;
    // Pops the menu up at the item, for a Control-click or the panel's provider button.
    virtual void popUpMenu() = 0;
    // The item's global geometry, where the panel opens; empty when the tray does not tell.
    virtual QRect anchor() const = 0;

Q_SIGNALS:
    // A plain (left) click: toggle the panel and refresh.
    void clicked();
};

} // namespace creditgauge
