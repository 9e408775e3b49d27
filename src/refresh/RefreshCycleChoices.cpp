// The choices the user makes through the cycle: which account is selected, whether the others
// are watched, and each account's settings, its addition and its removal. When and how the
// queries run is in RefreshCycle.cpp.
#include "AccountWatch.h"
#include "RefreshCycle.h"

namespace creditgauge {

void RefreshCycle::selectAccount(const QString &id)
{
    if (const std::optional<Account> chosen = account(id))
        noteSaved(QStringLiteral("settings"), m_choices.select(*chosen),
                  QStringLiteral("Die Kontowahl"));
    refresh(Trigger::User);
}

void RefreshCycle::setQueriesAll(bool on)
{
    noteSaved(QStringLiteral("allProviders"), m_choices.setAllProviders(on),
              QStringLiteral("Die Einstellung \u201EAlle Konten abfragen\u201C"));
    if (on) {
        refresh(Trigger::User);
        return;
    }
    m_othersWanted.reset();
    const QString selected = account().id;
    for (auto &[id, watch] : m_watches) {
        if (id == selected || watch->latest.kind == RefreshState::Kind::Starting)
            continue;
        watch->latest = RefreshState::of(watch->latest.account());
        Q_EMIT otherChanged(watch->latest);
    }
}

QList<RefreshState> RefreshCycle::others() const
{
    QList<RefreshState> list;
    if (!queriesAll())
        return list;
    for (const Account &a : accounts()) {
        const RefreshState &known = latest(a.id);
        if (a.id != m_state.account().id && known.answered())
            list << known;
    }
    return list;
}

void RefreshCycle::selectMoonshotRegion(MoonshotRegion region, bool refresh)
{
    Account selected = account();
    selected.options.region = region;
    if (selected.provider == Provider::moonshot)
        saveAccount(selected, refresh);
}

void RefreshCycle::saveAccount(const Account &changed, bool refresh)
{
    const std::optional<Account> before = account(changed.id);
    noteSaved(QStringLiteral("account"), m_choices.save(changed),
              QStringLiteral("Die Einstellung des Kontos \u201E%1\u201C").arg(changed.label()));
    // A query under way asks the other platform or address, whose answer is dropped: not
    // waited for.
    if (refresh && before && before->options != changed.options)
        askIfWatched(changed.id, Trigger::User);
    // Its name and mark count at once for what is shown of it.
    if (before && before->name == changed.name && before->lowMark == changed.lowMark)
        return;
    RefreshState &known = watch(changed).latest;
    known.accountName = changed.name;
    known.lowMark = changed.lowMark;
    if (changed.id != m_state.account().id)
        return Q_EMIT otherChanged(known);
    m_state.accountName = changed.name;
    m_state.lowMark = changed.lowMark;
    Q_EMIT stateChanged(m_state);
}

void RefreshCycle::removeAccount(const QString &id)
{
    const std::optional<Account> gone = account(id);
    if (!gone)
        return;
    const bool selected = id == account().id;
    noteSaved(QStringLiteral("account"), m_choices.remove(id),
              QStringLiteral("Das Entfernen des Kontos \u201E%1\u201C").arg(gone->label()));
    QPointer<RefreshCycle> self(this);
    KeyStore::remove(gone->keychainAccount(), [self, label = gone->label()](bool removed) {
        if (self)
            self->setNotice(QStringLiteral("removed"),
                            removed ? QString()
                                    : QStringLiteral("Der API-Key von \u201E%1\u201C lie\u00df "
                                                     "sich nicht aus dem Schl\u00fcsselbund "
                                                     "entfernen.")
                                          .arg(label));
    });
    // Its queries under way find it gone; a first account starts afresh.
    m_watches.erase(id);
    if (selected) {
        selectProvider(gone->provider);
        return;
    }
    Q_EMIT otherChanged(RefreshState::of(Account::first(gone->provider)));
}

void RefreshCycle::keySaved(const QString &account)
{
    askIfWatched(account, Trigger::KeySaved);
}

} // namespace creditgauge
