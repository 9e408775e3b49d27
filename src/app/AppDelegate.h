#pragma once

#include "AccountActions.h"
#include "notify/LowBalanceNotifier.h"
#include "refresh/RefreshCycle.h"
#include "tray/Popover.h"
#include "ui/ColorScheme.h"
#include "ui/KeyDialog.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QAction;
class QActionGroup;
class QMenu;

namespace creditgauge {

class BalanceViewController;
class StatusItem;

// The tray application's controller: it wires the refresh cycle to the status item, the
// panel in its popover, the menu and the key dialog. What is asked when, and what an answer
// means, is the cycle's business; this class only shows it and passes the user's wishes on.
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    explicit AppDelegate(std::unique_ptr<StatusItem> statusItem,
                         const RefreshCycle::Options &options = {}, QObject *parent = nullptr);
    ~AppDelegate() override;

    // The start sequence: panel, callbacks, clicks, the first title, then the refresh cycle.
    void applicationDidFinishLaunching();

    // What a second start of the program asks for: the panel, opened (or raised) and
    // refreshed as a click on the item would.
    void showDetails();

    // For tests and for the application's own wiring.
    BalanceViewController *content() const { return m_content.get(); }
    Popover *popover();
    QMenu *menu() const { return m_menu.get(); }
    RefreshCycle &cycle() { return m_cycle; }
    LowBalanceNotifier &notifier() { return m_notifier; }
    KeyDialog *keyDialog() const { return m_accounts.dialog(); }

private:
    void show(const RefreshState &state);
    void afterWork();
    bool panelShown() const;
    void showLoading(RefreshCycle::Trigger trigger);
    void updateToolTip();

    void statusClicked();
    void buildMenu();
    void updateMenu();
    void switchProvider();
    void menuRefresh();
    void menuQuit();
    void menuAutostart(bool enabled);
    void menuNotifications(bool enabled);
    void otherShown(const RefreshState &state);
    void selectAccount(const Account &account);
    void menuPickRegion(QAction *item);
    void askForKey();

    RefreshCycle m_cycle;
    LowBalanceNotifier m_notifier;
    std::unique_ptr<StatusItem> m_statusItem;
    std::unique_ptr<BalanceViewController> m_content;
    QPointer<Popover> m_popover;
    std::unique_ptr<QMenu> m_menu;
    AccountActions m_accounts;
    QMenu *m_accountMenu = nullptr;
    QMenu *m_regionMenu = nullptr;
    QActionGroup *m_regionItems = nullptr;
    QAction *m_autostartItem = nullptr;
    QAction *m_notificationsItem = nullptr;
    QAction *m_allProvidersItem = nullptr;
    std::unique_ptr<ColorScheme> m_colorScheme;
    bool m_afterWorkQueued = false;
};

} // namespace creditgauge
