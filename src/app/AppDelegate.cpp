#include "AppDelegate.h"

#include "ui/KeyDialog.h"
#include "tray/Popover.h"
#include "tray/StatusItem.h"
#include "update/UpdaterBridge.h"
#include "refresh/WakeWatcher.h"
#include "providers/ProviderClient.h"
#include "store/KeyStore.h"
#include "store/Settings.h"
#include "ui/BalanceViewController.h"
#include "core/Format.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>

namespace creditgauge {
namespace {

const QString noAmountTitle = QStringLiteral("$ \u2013");
const QString failedTitle = QStringLiteral("$ !");

} // namespace

AppDelegate::AppDelegate(std::unique_ptr<StatusItem> statusItem, QObject *parent)
    : QObject(parent)
    , m_statusItem(std::move(statusItem))
    , m_content(std::make_unique<BalanceViewController>())
    , m_menu(std::make_unique<QMenu>())
{
    m_popover = new Popover(m_content->view());
    m_timer.setInterval(refreshInterval);
    m_timer.setTimerType(Qt::VeryCoarseTimer);
}

AppDelegate::~AppDelegate()
{
    delete m_popover; // takes the panel's view with it
    if (m_keyDialog)
        delete m_keyDialog.data();
}

void AppDelegate::applicationDidFinishLaunching()
{
    m_content->setProvider(selectedProvider());

    QPointer<AppDelegate> self(this);
    m_content->onRefresh = [self] {
        if (self)
            self->refresh(true);
    };
    m_content->onChangeKey = [self] {
        if (self)
            self->askForKey();
    };
    m_content->onSwitchProvider = [self] {
        if (!self)
            return;
        self->m_popover->performClose();
        self->openMenu();
    };
    connect(m_content.get(), &BalanceViewController::changed, this, &AppDelegate::updateToolTip);

    m_statusItem->setMenu(m_menu.get());
    // Rebuilt at every opening, so the check mark always follows the stored choice.
    connect(m_menu.get(), &QMenu::aboutToShow, this, &AppDelegate::buildMenu);
    connect(m_statusItem.get(), &StatusItem::clicked, this, &AppDelegate::statusClicked);

    // The panel's menu shortcuts work while it is open.
    auto *refreshShortcut = new QAction(m_popover);
    refreshShortcut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(refreshShortcut, &QAction::triggered, this, &AppDelegate::menuRefresh);
    auto *quitShortcut = new QAction(m_popover);
    quitShortcut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quitShortcut, &QAction::triggered, this, &AppDelegate::menuQuit);
    m_popover->addActions({refreshShortcut, quitShortcut});

    setTitle(noAmountTitle, false);

    m_wake = new WakeWatcher(this);
    connect(m_wake, &WakeWatcher::wokeUp, this, &AppDelegate::wokeUp);

    refresh(false);

    connect(&m_timer, &QTimer::timeout, this, [self] {
        if (self)
            self->refresh(false);
    });
    m_timer.start();
}

void AppDelegate::wokeUp()
{
    refresh(false);
}

Provider AppDelegate::selectedProvider() const
{
    return m_unsavedChoice.value_or(Settings::provider());
}

void AppDelegate::refresh(bool userInitiated)
{
    const Provider provider = selectedProvider();
    m_content->setProvider(provider);
    QPointer<AppDelegate> self(this);
    // A locked keyring may keep this read waiting; later refreshes join it rather than queue.
    KeyStore::read(provider.keychainAccount(),
                   [self, provider, userInitiated](std::optional<QString> key) {
                       if (self)
                           self->applyKey(provider, key, userInitiated);
                   });
}

void AppDelegate::applyKey(Provider provider, const std::optional<QString> &key, bool userInitiated)
{
    if (!key) {
        m_content->showNoKey();
        setTitle(noAmountTitle, true);
        return;
    }
    if (userInitiated && m_popover->isShown())
        m_content->showLoading();
    QPointer<AppDelegate> self(this);
    ProviderClient::fetch(provider, *key, [self](BalanceResult result) {
        if (self)
            self->apply(result);
    });
}

void AppDelegate::apply(const BalanceResult &result)
{
    if (result) {
        m_content->showBalance(*result, QDateTime::currentDateTime());
        setTitle(Format::title(result->total, result->currency), isLow(*result));
    } else {
        m_content->showError(result.error().m);
        setTitle(failedTitle, true);
    }
}

void AppDelegate::setTitle(const QString &title, bool alarm)
{
    m_title = title;
    m_statusItem->setTitle(title, alarm);
    updateToolTip();
}

void AppDelegate::updateToolTip()
{
    // Screen readers and window lists name the panel by its state (Qt adds the program name).
    m_popover->setWindowTitle(m_content->statusText());
    // Trays whose left click opens the menu never show the panel; the tooltip carries it.
    m_statusItem->setToolTip(QStringLiteral("CreditGauge \u00b7 ") + m_title + QLatin1Char('\n')
                             + m_content->summary());
}

void AppDelegate::statusClicked()
{
    if (m_popover->isShown()) {
        m_popover->performClose();
    } else if (!m_popover->justClosedByOutsideClick()) {
        // A click on the icon while the popover was open first closes it as a click outside;
        // it must not open it again straight away.
        m_popover->showAt(m_statusItem->anchor());
    }
    refresh(true);
}

void AppDelegate::openMenu()
{
    m_statusItem->popUpMenu();
}

void AppDelegate::buildMenu()
{
    QMenu *menu = m_menu.get();
    // clear() drops the actions but not the submenu made last time, which the menu still owns.
    qDeleteAll(menu->findChildren<QMenu *>(Qt::FindDirectChildrenOnly));
    menu->clear();

    QAction *refreshItem
        = menu->addAction(QStringLiteral("Aktualisieren"), this, &AppDelegate::menuRefresh);
    refreshItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));

    QMenu *providers = menu->addMenu(QStringLiteral("Anbieter"));
    auto *group = new QActionGroup(providers);
    group->setExclusive(true);
    const Provider selected = selectedProvider();
    for (const Provider p : Provider::allCases()) {
        QAction *item = providers->addAction(p.displayName());
        item->setData(p.rawValue());
        item->setCheckable(true);
        item->setChecked(p == selected);
        group->addAction(item);
    }
    connect(providers, &QMenu::triggered, this, &AppDelegate::menuPickProvider);

    menu->addSeparator();
    menu->addAction(QStringLiteral("Nach Updates suchen \u2026"), &UpdaterBridge::shared(),
                    &UpdaterBridge::checkForUpdates);
    menu->addSeparator();
    menu->addAction(QStringLiteral("API-Key ändern \u2026"), this, &AppDelegate::menuKey);
    menu->addSeparator();
    QAction *quitItem = menu->addAction(QStringLiteral("Beenden"), this, &AppDelegate::menuQuit);
    quitItem->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

void AppDelegate::menuRefresh()
{
    refresh(true);
}

void AppDelegate::menuKey()
{
    askForKey();
}

void AppDelegate::menuQuit()
{
    QCoreApplication::quit();
}

void AppDelegate::menuPickProvider(QAction *item)
{
    const QVariant data = item ? item->data() : QVariant();
    if (data.typeId() != QMetaType::QString)
        return;
    const std::optional<Provider> provider = Provider::fromRawValue(data.toString());
    if (!provider)
        return;
    // Should the choice not reach the disk, it still holds until the program ends.
    m_unsavedChoice = Settings::setProvider(*provider) ? std::nullopt : provider;
    m_content->setProvider(*provider);
    refresh(true);
}

void AppDelegate::askForKey()
{
    m_popover->performClose();
    if (m_keyDialog) {
        m_keyDialog->raise();
        m_keyDialog->activateWindow();
        return;
    }
    const Provider provider = selectedProvider();
    auto *dialog = new KeyDialog(provider);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_keyDialog = dialog;

    // The dialog opens at once; the stored key fills the field when the store answers.
    QPointer<KeyDialog> guard(dialog);
    KeyStore::read(provider.keychainAccount(), [guard](std::optional<QString> key) {
        if (guard && key)
            guard->offerStoredKey(*key);
    });

    connect(dialog, &QDialog::accepted, this, [this, dialog, provider] {
        const QString key = dialog->enteredKey();
        if (!key.isEmpty()) // an empty field never deletes a stored key
            saveKey(provider, key);
    });
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void AppDelegate::saveKey(Provider provider, const QString &key)
{
    QPointer<AppDelegate> self(this);
    KeyStore::save(key, provider.keychainAccount(), [self](bool saved) {
        if (!self)
            return;
        if (saved) {
            self->refresh(true);
            return;
        }
        // The user must not go on believing the key was kept.
        auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("CreditGauge"),
                                    QStringLiteral("Der API-Key wurde nicht gespeichert."));
        box->setInformativeText(QStringLiteral(
            "Der Schlüsselbund hat das Speichern abgelehnt oder ist nicht erreichbar. "
            "Ein bisher gespeicherter Key bleibt unverändert."));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setObjectName(QStringLiteral("keyNotSaved"));
        box->open();
    });
}

} // namespace creditgauge
