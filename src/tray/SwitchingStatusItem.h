#pragma once

#include "StatusItem.h"

#include <QDBusConnection>
#include <QPointer>

#include <memory>
#include <optional>

class QDBusServiceWatcher;
class QMenu;

namespace creditgauge {

// The status item where the user can see it: our StatusNotifierItem while a StatusNotifierHost
// is registered with the session's watcher, the XEmbed tray icon otherwise (an X11 tray
// without a host, a watcher nobody displays, a panel still starting). It moves over whenever
// the watcher or its hosts come or go, and gives the new backend all that the old one had: the
// title, the details, the menu and whether the panel is open. Without XEmbed (Wayland) the
// StatusNotifierItem stays and waits for a host.
class SwitchingStatusItem : public StatusItem
{
    Q_OBJECT
public:
    explicit SwitchingStatusItem(QObject *parent = nullptr);
    ~SwitchingStatusItem() override;

    // Whether something shows the item now: a registered host or an XEmbed tray.
    bool trayAvailable() const;

    void setTitle(const QString &title, bool alarm) override;
    void setDetails(const QStringList &lines) override;
    void setMenu(QMenu *menu) override;
    bool canPopUpMenu() const override;
    void popUpMenu() override;
    QRect anchor() const override;
    void setPanelOpen(bool open) override;

Q_SIGNALS:
    // Whether a host is registered may have changed.
    void hostChanged();

private Q_SLOTS:
    void askWatcher();

private:
    enum class Host { Unknown, None, Registered };
    void setHost(Host host);
    void useBackend(bool statusNotifier);

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher = nullptr;
    // Only the answer to the latest question counts.
    quint64 m_question = 0;
    Host m_host = Host::Unknown;
    bool m_xembed = false;
    std::unique_ptr<StatusItem> m_backend;

    struct Title
    {
        QString text;
        bool alarm = false;
    };
    std::optional<Title> m_title;
    std::optional<QStringList> m_details;
    QPointer<QMenu> m_menu;
    bool m_panelOpen = false;
};

} // namespace creditgauge
