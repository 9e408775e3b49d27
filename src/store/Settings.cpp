#include "Settings.h"

#include "core/Records.h"

#include <QRegularExpression>
#include <QSettings>

#include <algorithm>
#include <cmath>

namespace creditgauge::Settings {
namespace {

const QString providerKey = QStringLiteral("provider");
const QString moonshotRegionKey = QStringLiteral("moonshotRegion");
const QString notificationsKey = QStringLiteral("notifications");
const QString allProvidersKey = QStringLiteral("allProviders");

QSettings store()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("creditgauge"),
                     QStringLiteral("creditgauge"));
}

// Flushed to disk at once, so that the choice survives the process being killed right after.
bool write(const QString &key, const QVariant &value)
{
    QSettings settings = store();
    settings.setValue(key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool switchedOn(const QString &key)
{
    return store().value(key).toString() != u"false";
}

bool setSwitch(const QString &key, bool on)
{
    return write(key, on ? QStringLiteral("true") : QStringLiteral("false"));
}

// A low mark as stored: anything but a positive finite number is the default.
double positive(const QVariant &value)
{
    bool ok = false;
    const double mark = value.toDouble(&ok);
    return ok && std::isfinite(mark) && mark > 0 ? mark : lowBalanceThreshold;
}

const QString accountKey = QStringLiteral("account");
const QString accountListKey = QStringLiteral("accounts/list");

QString accountGroup(const QString &id)
{
    return QStringLiteral("accounts/") + id + u'/';
}

// The provider an added account's id names ("deepseek-2"), and its number.
std::optional<std::pair<Provider, int>> addedId(const QString &id)
{
    static const QRegularExpression form(QStringLiteral("^([a-z]+)-([1-9][0-9]{0,5})$"));
    const QRegularExpressionMatch match = form.match(id);
    const std::optional<Provider> provider
        = match.hasMatch() ? Provider::fromRawValue(match.captured(1)) : std::nullopt;
    const int number = match.captured(2).toInt();
    if (!provider || number < 2)
        return std::nullopt;
    return std::pair {*provider, number};
}

// The added accounts' ids as stored, each once, those that are not an added account's left out.
QStringList addedIds(const QSettings &settings)
{
    QStringList ids;
    for (const QString &id : settings.value(accountListKey).toStringList()) {
        if (addedId(id) && !ids.contains(id))
            ids << id;
    }
    return ids;
}

Account firstAccount(const QSettings &settings, Provider provider)
{
    Account account = Account::first(provider);
    account.name = settings.value(accountGroup(account.id) + QStringLiteral("name")).toString();
    account.lowMark = positive(settings.value(QStringLiteral("lowMark/") + provider.rawValue()));
    if (provider == Provider::moonshot)
        account.options.region
            = moonshotRegionFromRawValue(settings.value(moonshotRegionKey).toString())
                  .value_or(MoonshotRegion::international);
    if (provider == Provider::relay)
        account.options.relayAddress = settings.value(QStringLiteral("relayAddress")).toString();
    return account;
}

Account addedAccount(const QSettings &settings, const QString &id)
{
    const QString group = accountGroup(id);
    Account account {id, addedId(id)->first,
                     settings.value(group + QStringLiteral("name")).toString()};
    account.lowMark = positive(settings.value(group + QStringLiteral("lowMark")));
    account.options.region
        = moonshotRegionFromRawValue(settings.value(group + QStringLiteral("region")).toString())
              .value_or(MoonshotRegion::international);
    account.options.relayAddress
        = settings.value(group + QStringLiteral("relayAddress")).toString();
    return account;
}

bool synced(QSettings &settings)
{
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace

Provider provider()
{
    const QSettings settings = store();
    if (settings.status() != QSettings::NoError)
        return Provider::deepseek;
    const QVariant value = settings.value(providerKey);
    if (value.typeId() != QMetaType::QString)
        return Provider::deepseek;
    return Provider::fromRawValue(value.toString()).value_or(Provider::deepseek);
}

bool setProvider(Provider provider)
{
    return write(providerKey, provider.rawValue());
}

bool notificationsEnabled()
{
    return switchedOn(notificationsKey);
}

bool setNotificationsEnabled(bool enabled)
{
    return setSwitch(notificationsKey, enabled);
}

bool allProvidersEnabled()
{
    return switchedOn(allProvidersKey);
}

bool setAllProvidersEnabled(bool enabled)
{
    return setSwitch(allProvidersKey, enabled);
}

QList<Account> accounts()
{
    const QSettings settings = store();
    const QStringList added = addedIds(settings);
    QList<Account> list;
    for (const Provider p : Provider::allCases()) {
        list << firstAccount(settings, p);
        for (const QString &id : added) {
            if (addedId(id)->first == p)
                list << addedAccount(settings, id);
        }
    }
    return list;
}

std::optional<Account> account(const QString &id)
{
    const QSettings settings = store();
    if (const std::optional<Provider> provider = Provider::fromRawValue(id))
        return firstAccount(settings, *provider);
    if (addedIds(settings).contains(id))
        return addedAccount(settings, id);
    return std::nullopt;
}

std::optional<Account> accountNamed(const QString &nameOrId)
{
    if (std::optional<Account> byId = account(nameOrId))
        return byId;
    const QList<Account> all = accounts();
    const auto it = std::ranges::find_if(all, [&nameOrId](const Account &a) {
        return !a.name.isEmpty() && a.name.compare(nameOrId, Qt::CaseInsensitive) == 0;
    });
    return it == all.end() ? std::nullopt : std::optional(*it);
}

Account selectedAccount()
{
    const Provider selected = provider();
    const std::optional<Account> added = account(store().value(accountKey).toString());
    return added && added->provider == selected ? *added : *account(selected.rawValue());
}

bool selectAccount(const Account &account)
{
    QSettings settings = store();
    settings.setValue(providerKey, account.provider.rawValue());
    // An older CreditGauge reads the provider alone, and shows its first account.
    if (account.isFirst())
        settings.remove(accountKey);
    else
        settings.setValue(accountKey, account.id);
    return synced(settings);
}

bool saveAccount(const Account &account)
{
    QSettings settings = store();
    const QString group = accountGroup(account.id);
    if (account.name.isEmpty())
        settings.remove(group + QStringLiteral("name"));
    else
        settings.setValue(group + QStringLiteral("name"), account.name);
    if (account.isFirst()) {
        if (account.lowMark != lowBalanceThreshold
            || settings.contains(QStringLiteral("lowMark/") + account.id))
            settings.setValue(QStringLiteral("lowMark/") + account.id, account.lowMark);
        if (account.provider == Provider::moonshot)
            settings.setValue(moonshotRegionKey, rawValue(account.options.region));
        if (account.provider == Provider::relay)
            settings.setValue(QStringLiteral("relayAddress"), account.options.relayAddress);
        return synced(settings);
    }
    if (!addedId(account.id))
        return false;
    settings.setValue(group + QStringLiteral("lowMark"), account.lowMark);
    if (account.provider == Provider::moonshot)
        settings.setValue(group + QStringLiteral("region"), rawValue(account.options.region));
    if (account.provider == Provider::relay)
        settings.setValue(group + QStringLiteral("relayAddress"), account.options.relayAddress);
    if (QStringList ids = addedIds(settings); !ids.contains(account.id)) {
        settings.setValue(accountListKey, ids << account.id);
        const QString issued = QStringLiteral("accounts/issued/") + account.provider.rawValue();
        settings.setValue(issued,
                          std::max(settings.value(issued).toInt(), addedId(account.id)->second));
    }
    return synced(settings);
}

QString newAccountId(Provider provider)
{
    const QSettings settings = store();
    int highest = std::max(
        1, settings.value(QStringLiteral("accounts/issued/") + provider.rawValue()).toInt());
    for (const QString &id : addedIds(settings)) {
        if (const auto added = addedId(id); added->first == provider)
            highest = std::max(highest, added->second);
    }
    return provider.rawValue() + u'-' + QString::number(highest + 1);
}

bool removeAccount(const QString &id)
{
    QSettings settings = store();
    settings.remove(accountGroup(id));
    if (const std::optional<Provider> provider = Provider::fromRawValue(id)) {
        settings.remove(QStringLiteral("lowMark/") + id);
        if (provider == Provider::relay)
            settings.remove(QStringLiteral("relayAddress"));
    } else {
        QStringList ids = addedIds(settings);
        ids.removeAll(id);
        settings.setValue(accountListKey, ids);
        if (settings.value(accountKey).toString() == id)
            settings.remove(accountKey);
    }
    return synced(settings);
}

} // namespace creditgauge::Settings
