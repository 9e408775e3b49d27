#pragma once

#include "core/Account.h"
#include "ui/KeyDialog.h"

#include <QActionGroup>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>

namespace creditgauge {

class RefreshCycle;

// What the user does with the accounts: the menu's list of them (picking one selects it),
// adding one, editing one in the account dialog and removing one after asking. Where a key
// goes is the secret store's business, what is asked when the refresh cycle's.
class AccountActions : public QObject
{
    Q_OBJECT
public:
    explicit AccountActions(RefreshCycle &cycle, QObject *parent = nullptr);
    ~AccountActions() override;

    // Called before a window of ours opens: the panel closes, the windows get their style.
    std::function<void()> beforeWindow;
    // Called when the user picked an account in the menu.
    std::function<void(const Account &)> picked;

    // Fills `menu` with one entry per account, the selected one checked, and the entries to
    // add and remove one; the entries are made again only when the accounts changed.
    void fillMenu(QMenu *menu);
    // The account dialog for the account, or the one open already, raised.
    void edit(const Account &account);
    void add(Provider provider);
    // Asks first; its key goes, its history stays.
    void remove(const Account &account);

    KeyDialog *dialog() const { return m_dialog; }

private:
    void open(const Account &account, bool adding);
    void saved(KeyDialog *dialog, bool adding);
    void saveKey(const Account &account, const QString &key, bool adding);
    void menuTriggered(QAction *item);

    RefreshCycle &m_cycle;
    QPointer<KeyDialog> m_dialog;
    QPointer<QMenu> m_menu;
    QPointer<QActionGroup> m_items;
    QStringList m_listed; // what the menu's entries were made for
};

} // namespace creditgauge
