#include "AppDelegate.h"

#include "session/Autostart.h"
#include "store/Settings.h"
#include "tray/Popover.h"
#include "tray/StatusItem.h"
#include "ui/BalanceViewController.h"
#include "ui/Windows.h"
#include "update/UpdaterBridge.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace creditgauge {

AppDelegate::AppDelegate(std::unique_ptr<StatusItem> statusItem,
                         const RefreshCycle::Options &options, QObject *parent)
    : QObject(parent)
    , m_cycle(options)
    , m_notifier(m_cycle.history())
    , m_statusItem(std::move(statusItem))
    , m_content(std::make_unique<BalanceViewController>())
    , m_menu(std::make_unique<QMenu>())
    , m_accounts(m_cycle)
{
    Popover::exposeToAccessibility();
    m_notifier.openUrl = [](const QUrl &page) {
        QDesktopServices::openUrl(page);
    };
    m_notifier.setEnabled(Settings::notificationsEnabled());
}

AppDelegate::~AppDelegate()
{
    delete m_popover.data(); // takes the panel's view with it
}

void AppDelegate::applicationDidFinishLaunching()
{
    m_content->setAccount(m_cycle.account());

    QPointer<AppDelegate> self(this);
    m_content->onRefresh = [self] {
        if (self)
            self->m_cycle.refresh(RefreshCycle::Trigger::User);
    };
    m_content->onChangeKey = [self] {
        if (self)
            self->askForKey();
    };
    m_content->onSwitchProvider = [self] {
        if (self)
            self->switchProvider();
    };
    m_content->onSelectAccount = [self](const QString &id) {
        if (const std::optional<Account> account = self ? self->m_cycle.account(id) : std::nullopt)
            self->selectAccount(*account);
    };
    m_accounts.beforeWindow = [self] {
        if (!self)
            return;
        if (self->m_popover)
            self->m_popover->performClose();
        prepareWindows();
    };
    m_accounts.picked = [self](const Account &account) {
        if (self)
            self->selectAccount(account);
    };
    connect(m_content.get(), &BalanceViewController::changed, this, &AppDelegate::updateToolTip);

    buildMenu();
    m_statusItem->setMenu(m_menu.get());
    connect(m_menu.get(), &QMenu::aboutToShow, this, &AppDelegate::updateMenu);
    connect(m_statusItem.get(), &StatusItem::clicked, this, &AppDelegate::statusClicked);

    connect(&m_cycle, &RefreshCycle::refreshing, this, [this] {
        m_content->setAccount(m_cycle.account());
        updateMenu();
    });
    connect(&m_cycle, &RefreshCycle::loading, this,
            [this](const QString &, RefreshCycle::Trigger trigger) { showLoading(trigger); });
    connect(&m_cycle, &RefreshCycle::stateChanged, this, &AppDelegate::show);
    connect(&m_cycle, &RefreshCycle::otherChanged, this, &AppDelegate::otherShown);
    show(m_cycle.state());
    m_cycle.start();
    // Light or dark as the desktop prefers, for the menu and the windows still to come.
    m_colorScheme = std::make_unique<ColorScheme>();
}

// The panel and its popover are made when first needed, not at start: most sessions show
// the item for hours before anyone opens it.
Popover *AppDelegate::popover()
{
    if (m_popover)
        return m_popover;
    prepareWindows();
    m_popover = new Popover(m_content->view());
    // A refresh can make the open panel smaller or larger; it stays under the item.
    connect(m_content.get(), &BalanceViewController::changed, m_popover, &Popover::reposition,
            Qt::QueuedConnection);
    connect(m_popover, &Popover::shownChanged, m_statusItem.get(), &StatusItem::setPanelOpen);

    // The menu's shortcuts work while it is open.
    auto *refreshShortcut = new QAction(m_popover);
    refreshShortcut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(refreshShortcut, &QAction::triggered, this, &AppDelegate::menuRefresh);
    auto *quitShortcut = new QAction(m_popover);
    quitShortcut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quitShortcut, &QAction::triggered, this, &AppDelegate::menuQuit);
    m_popover->addActions({refreshShortcut, quitShortcut});
    m_popover->setWindowTitle(m_content->statusText());
    return m_popover;
}

bool AppDelegate::panelShown() const
{
    return m_popover && m_popover->isShown();
}

// The menu at the item, as the panel's provider button asks. Where only the host can open a
// menu at the item (Wayland), it opens below the button instead, inside the panel.
void AppDelegate::switchProvider()
{
    if (m_statusItem->canPopUpMenu() || !panelShown()) {
        if (m_popover)
            m_popover->performClose();
        m_statusItem->popUpMenu();
        return;
    }
    updateMenu();
    m_menu->popup(m_content->providerButtonBottomLeft());
}

void AppDelegate::show(const RefreshState &state)
{
    m_content->show(state);
    // The account shown before may now join the list, the one shown leave it.
    m_content->showOthers(m_cycle.others());
    if (state.kind == RefreshState::Kind::Balance)
        m_notifier.balanceShown(state.account(), *state.balance, state.forecast);
    m_statusItem->setTitle(state.title(), state.alarm());
    updateToolTip();
    updateMenu(); // the selected account renamed, added or gone
    if (state.kind != RefreshState::Kind::Starting && !m_afterWorkQueued) {
        m_afterWorkQueued = true;
        QTimer::singleShot(0, this, &AppDelegate::afterWork);
    }
}

// Each watched account is notified of on its own, its name in the notification.
void AppDelegate::otherShown(const RefreshState &state)
{
    m_content->showOthers(m_cycle.others());
    if (state.kind == RefreshState::Kind::Balance)
        m_notifier.balanceShown(state.account(), *state.balance, state.forecast);
    updateMenu(); // an account renamed or gone
}

// Once a state is shown the start, or a refresh, is over; until the next the tray sleeps, for
// half an hour or longer. The heap pages the work left free go back to the system (glibc
// keeps them otherwise).
void AppDelegate::afterWork()
{
    m_afterWorkQueued = false;
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// Only a refresh the user asked for shows that it is loading, and only where they look.
void AppDelegate::showLoading(RefreshCycle::Trigger trigger)
{
    if (trigger == RefreshCycle::Trigger::User && panelShown())
        m_content->showLoading();
}

void AppDelegate::updateToolTip()
{
    // Screen readers and window lists name the panel by its state (Qt adds the program name).
    if (m_popover)
        m_popover->setWindowTitle(m_content->statusText());
    m_statusItem->setDetails(m_content->summaryLines());
}

void AppDelegate::showDetails()
{
    if (panelShown()) {
        m_popover->raise();
        m_popover->activateWindow();
    } else {
        popover()->showAt(m_statusItem->anchor());
    }
    m_cycle.refresh(RefreshCycle::Trigger::User);
}

void AppDelegate::statusClicked()
{
    if (panelShown()) {
        m_popover->performClose();
    } else if (!popover()->justClosedByClickOn(m_statusItem->anchor())) {
        // A click on the icon while the popover was open first closes it as a click outside;
        // it must not open it again straight away.
        popover()->showAt(m_statusItem->anchor());
    }
    m_cycle.refresh(RefreshCycle::Trigger::User);
}

// Made once, complete from the start: hosts that draw the menu themselves ask for it before
// they ever announce that it opens.
void AppDelegate::buildMenu()
{
    QMenu *menu = m_menu.get();
    QAction *refreshItem
        = menu->addAction(QStringLiteral("Aktualisieren"), this, &AppDelegate::menuRefresh);
    refreshItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));

    // Its entries are the accounts, made again when they change.
    m_accountMenu = menu->addMenu(QStringLiteral("Anbieter"));
    // Shown only while Moonshot is selected: the other providers have one platform each.
    m_regionMenu = menu->addMenu(QStringLiteral("Moonshot-Region"));
    m_regionItems = new QActionGroup(m_regionMenu);
    m_regionItems->setExclusive(true);
    for (const MoonshotRegion region : allMoonshotRegions) {
        QAction *item = m_regionMenu->addAction(displayName(region));
        item->setData(rawValue(region));
        item->setCheckable(true);
        m_regionItems->addAction(item);
    }
    connect(m_regionMenu, &QMenu::triggered, this, &AppDelegate::menuPickRegion);
    m_allProvidersItem = menu->addAction(QStringLiteral("Alle Konten abfragen"));
    m_allProvidersItem->setCheckable(true);
    connect(m_allProvidersItem, &QAction::toggled, this,
            [this](bool on) { m_cycle.setQueriesAll(on); });

    menu->addSeparator();
    menu->addAction(QStringLiteral("Nach Updates suchen \u2026"), this, [this] {
        prepareWindows();
        UpdaterBridge::shared().checkForUpdates();
    });
    menu->addSeparator();
    menu->addAction(QStringLiteral("API-Key ändern \u2026"), this, &AppDelegate::askForKey);
    menu->addSeparator();
    m_notificationsItem = menu->addAction(QStringLiteral("Benachrichtigungen"));
    m_notificationsItem->setCheckable(true);
    connect(m_notificationsItem, &QAction::toggled, this, &AppDelegate::menuNotifications);
    if (Autostart::isSupported()) {
        m_autostartItem = menu->addAction(QStringLiteral("Beim Anmelden starten"));
        m_autostartItem->setCheckable(true);
        connect(m_autostartItem, &QAction::toggled, this, &AppDelegate::menuAutostart);
        menu->addSeparator();
    }
    QAction *quitItem = menu->addAction(QStringLiteral("Beenden"), this, &AppDelegate::menuQuit);
    quitItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    updateMenu();
}

// The check mark follows the stored choice, which another instance (or the command line) may
// have changed since.
void AppDelegate::updateMenu()
{
    m_accounts.fillMenu(m_accountMenu);
    m_regionMenu->menuAction()->setVisible(m_cycle.provider() == Provider::moonshot);
    const QString region = rawValue(m_cycle.moonshotRegion());
    for (QAction *item : m_regionItems->actions())
        item->setChecked(item->data().toString() == region);
    // The entry is the choice: the user may have removed it, or switched it off in the
    // desktop's own settings.
    if (m_autostartItem) {
        const QSignalBlocker quiet(m_autostartItem);
        m_autostartItem->setChecked(Autostart::isEnabled());
    }
    const QSignalBlocker quiet(m_notificationsItem);
    m_notificationsItem->setChecked(m_notifier.isEnabled());
    const QSignalBlocker quietAll(m_allProvidersItem);
    m_allProvidersItem->setChecked(m_cycle.queriesAll());
}

void AppDelegate::menuRefresh()
{
    m_cycle.refresh(RefreshCycle::Trigger::User);
}

void AppDelegate::menuQuit()
{
    QCoreApplication::quit();
}

// The entry on disk is the choice; when it cannot be written (or another entry overrides it),
// the check mark shows what the next login will do and the panel says why.
void AppDelegate::menuAutostart(bool enabled)
{
    const bool done = Autostart::setEnabled(enabled) && Autostart::isEnabled() == enabled;
    m_cycle.setNotice(
        QStringLiteral("autostart"),
        done ? QString()
             : QStringLiteral("Der Autostart-Eintrag %1 lässt sich nicht %2.")
                   .arg(Autostart::entryPath(),
                        enabled ? QStringLiteral("schreiben") : QStringLiteral("entfernen")));
    updateMenu();
}

// Should the choice not reach the disk, it still holds until the program ends.
void AppDelegate::menuNotifications(bool enabled)
{
    m_notifier.setEnabled(enabled);
    m_cycle.noteSaved(QStringLiteral("notifications"), Settings::setNotificationsEnabled(enabled),
                      QStringLiteral("Die Einstellung der Benachrichtigungen"));
}

void AppDelegate::selectAccount(const Account &account)
{
    m_content->setAccount(account);
    m_cycle.selectAccount(account.id);
    updateMenu(); // the region's submenu comes or goes
}

void AppDelegate::menuPickRegion(QAction *item)
{
    const std::optional<MoonshotRegion> region
        = moonshotRegionFromRawValue(item ? item->data().toString() : QString());
    if (region)
        m_cycle.selectMoonshotRegion(*region);
}

void AppDelegate::askForKey()
{
    m_accounts.edit(m_cycle.account());
}

} // namespace creditgauge
