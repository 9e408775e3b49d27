#pragma once

#include "ui/KeyDialog.h"
#include "tray/Popover.h"
#include "core/Provider.h"
#include "core/Records.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

class QAction;
class QMenu;

namespace creditgauge {

class BalanceViewController;
class StatusItem;
class WakeWatcher;

// The tray application's controller: it owns the status item, the panel and its popover, the
// refresh timer and the wake watcher, decides when a balance query runs, and puts the answer
// into the panel and the tray title.
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::seconds refreshInterval {1800};

    explicit AppDelegate(std::unique_ptr<StatusItem> statusItem, QObject *parent = nullptr);
    ~AppDelegate() override;

    // The start sequence: panel, callbacks, clicks, the first title, wake notifications, the
    // first refresh, and the 30-minute timer.
    void applicationDidFinishLaunching();

    // For tests and for the application's own wiring.
    StatusItem *statusItem() const { return m_statusItem.get(); }
    BalanceViewController *content() const { return m_content.get(); }
    Popover *popover() const { return m_popover; }
    QMenu *menu() const { return m_menu.get(); }
    const QTimer &refreshTimer() const { return m_timer; }
    KeyDialog *keyDialog() const { return m_keyDialog; }

public Q_SLOTS:
    void wokeUp();

private:
    void refresh(bool userInitiated);
    void applyKey(Provider provider, const std::optional<QString> &key, bool userInitiated);
    void apply(const BalanceResult &result);
    void setTitle(const QString &title, bool alarm);
    void updateToolTip();

    void statusClicked();
    void openMenu();
    void buildMenu();
    void menuRefresh();
    void menuKey();
    void menuQuit();
    void menuPickProvider(QAction *item);
    void askForKey();
    void saveKey(Provider provider, const QString &key);

    // The provider being watched: the stored choice, unless the last choice could not be
    // stored, in which case that choice still holds for this session.
    Provider selectedProvider() const;

    std::unique_ptr<StatusItem> m_statusItem;
    std::unique_ptr<BalanceViewController> m_content;
    QPointer<Popover> m_popover;
    std::unique_ptr<QMenu> m_menu;
    QTimer m_timer;
    WakeWatcher *m_wake = nullptr;
    QPointer<KeyDialog> m_keyDialog;
    std::optional<Provider> m_unsavedChoice;
    QString m_title;
};

} // namespace creditgauge
