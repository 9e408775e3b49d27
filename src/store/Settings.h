#pragma once

#include "core/Account.h"
#include "core/Provider.h"

#include <QList>
#include <QString>

#include <optional>

// The choices kept outside the secret store: the accounts and which of them is selected (and
// for Moonshot, on which platform), and whether running low is notified. They live in the
// platform's native settings store (on Linux $XDG_CONFIG_HOME/creditgauge/creditgauge.conf).
namespace creditgauge::Settings {

// The stored provider; deepseek when nothing, or anything but an exact raw value, is stored,
// or the store cannot be read. Reading never writes.
Provider provider();

// Stores the choice and flushes it to disk at once, so that it survives the process being
// killed right after. False when it could not be written.
bool setProvider(Provider provider);

// Whether low balances and a running-out forecast are notified: on unless "false" is stored.
bool notificationsEnabled();
// Stores it as setProvider does; false when it could not be written.
bool setNotificationsEnabled(bool enabled);

// Whether the providers besides the selected one are asked too (those with a key): on unless
// "false" is stored.
bool allProvidersEnabled();
// Stores it as setProvider does; false when it could not be written.
bool setAllProvidersEnabled(bool enabled);

// Every account: for each provider in the order of Provider::allCases() its first account
// (which is always there, with a key or without), then those added to it, in the order they
// were added. A first account keeps its choices where the program kept them before it knew of
// accounts (provider, moonshotRegion, relayAddress, lowMark/<provider>), so that an older
// CreditGauge started on the same file keeps its own; the rest lives under accounts/.
QList<Account> accounts();
std::optional<Account> account(const QString &id);
// The account with this id, else the one the user named so (case does not matter).
std::optional<Account> accountNamed(const QString &nameOrId);
// The selected account: the stored provider's, the one added to it when that is stored too,
// else its first.
Account selectedAccount();
// Stores the choice as setProvider does, the provider too; false when it could not be written.
bool selectAccount(const Account &account);
// Stores the account's name, options and low mark; an id not yet known is added after the
// others of its provider. False when it could not be written.
bool saveAccount(const Account &account);
// The id a new account of the provider gets: "deepseek-2", "deepseek-3", ...; never one given
// before, also when that account was removed since (its history rows are kept).
QString newAccountId(Provider provider);
// An added account goes with its settings. A first account stays (the provider is still
// listed) but forgets its name, relay address and low mark. False when it could not be written.
bool removeAccount(const QString &id);

} // namespace creditgauge::Settings
