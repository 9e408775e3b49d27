#include "AccountActions.h"

#include "refresh/RefreshCycle.h"
#include "store/KeyStore.h"
#include "store/Settings.h"

#include <QActionGroup>
#include <QMenu>

namespace creditgauge {

AccountActions::AccountActions(RefreshCycle &cycle, QObject *parent)
    : QObject(parent)
    , m_cycle(cycle)
{ }

AccountActions::~AccountActions()
{
    if (m_dialog)
        delete m_dialog.data();
}

void AccountActions::fillMenu(QMenu *menu)
{
    const QList<Account> accounts = m_cycle.accounts();
    QStringList listed;
    for (const Account &a : accounts)
        listed << a.id + u'\n' + a.label();
    if (listed != m_listed || menu != m_menu) {
        m_listed = listed;
        // clear() keeps the submenus and the group, which are children of the menu.
        menu->clear();
        qDeleteAll(menu->findChildren<QMenu *>(Qt::FindDirectChildrenOnly));
        delete m_items;
        if (menu != m_menu)
            connect(menu, &QMenu::triggered, this, &AccountActions::menuTriggered);
        m_menu = menu;
        m_items = new QActionGroup(menu);
        m_items->setExclusive(true);
        for (const Account &a : accounts) {
            QAction *item = menu->addAction(a.label());
            item->setData(a.id);
            item->setCheckable(true);
            m_items->addAction(item);
        }
        menu->addSeparator();
        // Each entry its own slot: a submenu's entry reaches this menu's triggered() only when
        // the menu was opened by hand, not when a host triggers it over the bus.
        QMenu *adding = menu->addMenu(QStringLiteral("Konto hinzufügen \u2026"));
        for (const Provider p : Provider::allCases())
            adding->addAction(p.displayName(), this, [this, p] { add(p); });
        menu->addAction(QStringLiteral("Konto entfernen \u2026"), this,
                        [this] { remove(m_cycle.account()); });
    }
    const QString selected = m_cycle.account().id;
    for (QAction *item : m_items->actions())
        item->setChecked(item->data().toString() == selected);
}

void AccountActions::menuTriggered(QAction *item)
{
    // The entries to add and remove carry no account and have their own slots.
    const QString id = item ? item->data().toString() : QString();
    if (const std::optional<Account> account = m_cycle.account(id); account && picked)
        picked(*account);
}

void AccountActions::edit(const Account &account)
{
    open(account, false);
}

void AccountActions::add(Provider provider)
{
    Account account {Settings::newAccountId(provider), provider};
    if (provider == Provider::moonshot) // the platform the user chose before
        account.options.region = m_cycle.account(provider.rawValue())->options.region;
    open(account, true);
}

void AccountActions::remove(const Account &account)
{
    if (beforeWindow)
        beforeWindow();
    QPointer<AccountActions> self(this);
    KeyDialog::confirmRemoval(account, [self, id = account.id] {
        if (self)
            self->m_cycle.removeAccount(id);
    });
}

void AccountActions::open(const Account &account, bool adding)
{
    if (beforeWindow)
        beforeWindow();
    if (m_dialog) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    QStringList taken;
    for (const Account &other : m_cycle.accounts()) {
        if (other.id != account.id && !other.name.isEmpty())
            taken << other.name;
    }
    auto *dialog = new KeyDialog(account, taken, adding);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog = dialog;

    // The dialog opens at once; the stored key fills the field when the store answers.
    QPointer<KeyDialog> guard(dialog);
    if (!adding)
        KeyStore::read(account.keychainAccount(), [guard](const KeyStore::ReadResult &key) {
            if (guard && key && *key)
                guard->offerStoredKey(**key);
        });
    connect(dialog, &QDialog::accepted, this, [this, dialog, adding] { saved(dialog, adding); });
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void AccountActions::saved(KeyDialog *dialog, bool adding)
{
    const Account account = dialog->account();
    const QString key = dialog->enteredKey();
    // Before the key is saved, so that the query the saved key brings asks the platform or
    // address entered with it; a new account without a key is added as well.
    const std::optional<Account> before = m_cycle.account(account.id);
    if (!before || *before != account)
        m_cycle.saveAccount(account, key.isEmpty());
    if (!key.isEmpty()) // an empty field never deletes a stored key
        saveKey(account, key, adding);
    else if (adding && picked)
        picked(account);
}

void AccountActions::saveKey(const Account &account, const QString &key, bool adding)
{
    QPointer<AccountActions> self(this);
    KeyStore::save(key, account.keychainAccount(), [self, account, adding](bool saved) {
        if (!self)
            return;
        if (!saved) // the user must not go on believing the key was kept
            return KeyDialog::showNotSaved();
        // An account just added is what the user wants to see.
        if (adding && self->picked)
            return self->picked(account);
        self->m_cycle.keySaved(account.id);
    });
}

} // namespace creditgauge
