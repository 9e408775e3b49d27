#pragma once

#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>

class QMenu;

namespace creditgauge {

// The seam between the controller and the desktop's tray. The controller sets a title, an
// alarm flag and the panel's lines, and hands over its menu; the tray reports plain clicks and
// tells where the panel should be anchored. Another tray backend implements this and nothing
// in the controller changes.
class StatusItem : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The balance text, e.g. "$ 12" or "$ –", drawn as an alarm when `alarm` is set.
    virtual void setTitle(const QString &title, bool alarm) = 0;
    // The panel's lines, top to bottom (whose balance, the amount, its components, the status,
    // the time), for hosts that show them on hover, atop the menu or to a screen reader.
    virtual void setDetails(const QStringList &lines) = 0;
    // The menu the tray opens on a right click. Not owned; the controller keeps its contents
    // current.
    virtual void setMenu(QMenu *menu) = 0;
    // Whether popUpMenu() can open the menu at the item; on Wayland only the host can.
    virtual bool canPopUpMenu() const { return true; }
    // Pops the menu up at the item, for a Control-click or the panel's provider button.
    virtual void popUpMenu() = 0;
    // Where the panel opens, in global coordinates; empty when the tray does not tell.
    virtual QRect anchor() const = 0;
public Q_SLOTS:
    // The panel is on screen: nothing of the host's (a tooltip) may cover it.
    virtual void setPanelOpen(bool open) { Q_UNUSED(open); }

Q_SIGNALS:
    // A plain (left) click: toggle the panel and refresh.
    void clicked();
    // The item went to the host (registered with the watcher, or docked in the tray): work
    // that can wait lets the host and the item have the machine until then.
    void shown();
};

} // namespace creditgauge
