#pragma once

#include "core/Account.h"
#include "core/Provider.h"

#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace creditgauge {

// The user's choices as the settings file holds them (read anew each time, so that a choice
// made in another process counts here too), unless one was given for this run or could not be
// stored: that one holds for the rest of the session. Each setter says whether the choice
// reached the disk.
class StoredChoices
{
public:
    // `account`: the one selected for this run, by id.
    StoredChoices(std::optional<QString> account, std::optional<bool> allProviders);

    QList<Account> accounts() const;
    std::optional<Account> account(const QString &id) const;
    Account selected() const;
    bool select(const Account &account);
    // Its name, options and low mark; a new one is added.
    bool save(const Account &account);
    bool remove(const QString &id);
    bool allProviders() const;
    bool setAllProviders(bool on);

private:
    std::optional<QString> m_selected;
    std::optional<bool> m_allProviders;
    // Accounts whose settings could not be stored, as the user left them; nothing for one
    // whose removal could not be stored.
    QHash<QString, std::optional<Account>> m_unsaved;
};

} // namespace creditgauge
