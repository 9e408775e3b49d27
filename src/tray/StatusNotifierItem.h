#pragma once

#include "DBusTypes.h"
#include "StatusItem.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QPointer>
#include <QRect>

class QDBusServiceWatcher;
class QMenu;

namespace creditgauge {

class DBusMenuExporter;

// The status item as a StatusNotifierItem of our own on the session bus, with the menu
// exported over dbusmenu: what KDE, Xfce's systray, waybar and GNOME's AppIndicator extension
// host. The title goes out as the Ayatana label; the icon is the badge with the figure, or,
// on hosts that show the label beside it, a plain badge that only carries the alarm.
// Registers with the StatusNotifierWatcher, and again whenever a watcher (re)appears.
class StatusNotifierItem : public StatusItem
{
    Q_OBJECT
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QDBusObjectPath Menu READ menuPath)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(creditgauge::DBusImageList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString IconAccessibleDesc READ accessibleDescription)
    Q_PROPERTY(QString OverlayIconName READ empty)
    Q_PROPERTY(creditgauge::DBusImageList OverlayIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(creditgauge::DBusImageList AttentionIconPixmap READ iconPixmap)
    Q_PROPERTY(QString AttentionAccessibleDesc READ accessibleDescription)
    Q_PROPERTY(QString AttentionMovieName READ empty)
    Q_PROPERTY(creditgauge::DBusToolTip ToolTip READ toolTip)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
    Q_PROPERTY(uint XAyatanaOrderingIndex READ orderingIndex)
public:
    static constexpr auto watcherService = "org.kde.StatusNotifierWatcher";
    static constexpr auto objectPath = "/StatusNotifierItem";

    // Whether a StatusNotifierWatcher owns its name on the session bus.
    static bool isWatcherAvailable();

    explicit StatusNotifierItem(QObject *parent = nullptr);
    ~StatusNotifierItem() override;

    void setTitle(const QString &title, bool alarm) override;
    void setDetails(const QStringList &lines) override;
    void setMenu(QMenu *menu) override;
    bool canPopUpMenu() const override;
    void popUpMenu() override;
    QRect anchor() const override;
    void setPanelOpen(bool open) override;

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("creditgauge"); }
    QString title() const;
    QString status() const;
    int windowId() const { return 0; }
    QString empty() const { return {}; }
    QDBusObjectPath menuPath() const;
    bool itemIsMenu() const { return false; }
    // Not a plain getter: the host's first read of the picture tells that the item is shown.
    DBusImageList iconPixmap();
    DBusImageList noImages() const { return {}; }
    // Beside a label, a plain symbol the host recolours to its panel's text colour (red with
    // the alarm), where the symbols are installed; for a host that blurs pixmaps, the title's
    // pictures as a theme of our own; otherwise none, and the host draws the pixmaps.
    QString iconName() const;
    QString iconThemePath() const;
    QString accessibleDescription() const;
    DBusToolTip toolTip() const;
    QString label() const { return m_title; }
    QString labelGuide() const;
    uint orderingIndex() const { return 0; }

public Q_SLOTS:
    // The interface, as hosts call it.
    void ContextMenu(int x, int y);
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void Scroll(int delta, const QString &orientation);
    void ProvideXdgActivationToken(const QString &token);

Q_SIGNALS:
    void NewTitle();
    void NewIcon();
    void NewIconThemePath(const QString &path);
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewMenu();
    void NewToolTip();
    void NewStatus(const QString &status);
    void XAyatanaNewLabel(const QString &label, const QString &guide);

private:
    void registerWithWatcher();
    void updateIcon();
    void writeTitleTheme();
    void seen();

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher = nullptr;
    DBusMenuExporter *m_exporter = nullptr;
    QPointer<QMenu> m_menu;
    QString m_title;
    bool m_alarm = false;
    // An alarm the user has not looked at since it began: the host is asked to draw attention
    // (Plasma pulses the item) until the panel or the menu opens; the red badge stays.
    bool m_attention = false;
    QStringList m_details;
    DBusImageList m_icon;
    QRect m_anchor;
    // From ProvideXdgActivationToken, for the next Activate.
    QByteArray m_token;
    bool m_panelOpen = false;
    bool m_hostShowsLabel = false;
    QString m_symbols; // the icon theme folder with the plain symbols; empty without them
    // For a host that blurs pixmaps but draws named icons at their size (waybar, Xfce): the title's
    // pictures as an icon theme, a folder of their own for each title, and its number.
    bool m_hostScalesPixmaps = false;
    QString m_titleThemes;
    int m_titleSerial = 0;
    bool m_titleWritten = false;
    bool m_themeQueued = false;
    bool m_pictureRead = false;
};

} // namespace creditgauge
