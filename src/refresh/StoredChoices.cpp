#include "StoredChoices.h"

#include "store/Settings.h"

#include <algorithm>

namespace creditgauge {
namespace {

// Should the choice not reach the disk, it still holds until the program ends.
template<typename T> bool hold(std::optional<T> &unsaved, T choice, bool saved)
{
    unsaved = saved ? std::nullopt : std::optional(choice);
    return saved;
}

} // namespace

StoredChoices::StoredChoices(std::optional<QString> account, std::optional<bool> allProviders)
    : m_selected(std::move(account))
    , m_allProviders(allProviders)
{ }

QList<Account> StoredChoices::accounts() const
{
    QList<Account> list = Settings::accounts();
    for (auto it = m_unsaved.cbegin(); it != m_unsaved.cend(); ++it) {
        const auto known = std::ranges::find(list, it.key(), &Account::id);
        if (known != list.end() && *it)
            *known = **it;
        else if (known != list.end() && !known->isFirst())
            list.erase(known);
        else if (known == list.end() && *it) // after the others of its provider
            list.insert(std::ranges::find_if(list,
                                             [p = (*it)->provider.value()](const Account &a) {
                                                 return a.provider.value() > p;
                                             })
                            - list.begin(),
                        **it);
    }
    return list;
}

std::optional<Account> StoredChoices::account(const QString &id) const
{
    const QList<Account> list = accounts();
    const auto it = std::ranges::find(list, id, &Account::id);
    return it == list.end() ? std::nullopt : std::optional(*it);
}

Account StoredChoices::selected() const
{
    const Account stored = Settings::selectedAccount();
    // One chosen for this session that is gone since leaves the stored choice.
    if (const std::optional<Account> chosen = account(m_selected.value_or(stored.id)))
        return *chosen;
    return account(stored.id).value_or(stored);
}

bool StoredChoices::select(const Account &account)
{
    return hold(m_selected, account.id, Settings::selectAccount(account));
}

bool StoredChoices::save(const Account &account)
{
    const bool saved = Settings::saveAccount(account);
    if (saved)
        m_unsaved.remove(account.id);
    else
        m_unsaved.insert(account.id, account);
    return saved;
}

bool StoredChoices::remove(const QString &id)
{
    const bool saved = Settings::removeAccount(id);
    if (saved)
        m_unsaved.remove(id);
    else
        m_unsaved.insert(id, std::nullopt);
    return saved;
}

bool StoredChoices::allProviders() const
{
    return m_allProviders.value_or(Settings::allProvidersEnabled());
}

bool StoredChoices::setAllProviders(bool on)
{
    return hold(m_allProviders, on, Settings::setAllProvidersEnabled(on));
}

} // namespace creditgauge
