#include "Settings.h"

#include "core/Records.h"

#include <QSettings>

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

MoonshotRegion moonshotRegion()
{
    return moonshotRegionFromRawValue(store().value(moonshotRegionKey).toString())
        .value_or(MoonshotRegion::international);
}

bool setMoonshotRegion(MoonshotRegion region)
{
    return write(moonshotRegionKey, rawValue(region));
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

QString relayAddress()
{
    return store().value(QStringLiteral("relayAddress")).toString();
}

bool setRelayAddress(const QString &address)
{
    return write(QStringLiteral("relayAddress"), address);
}

double lowMark(Provider provider)
{
    bool ok = false;
    const double mark
        = store().value(QStringLiteral("lowMark/") + provider.rawValue()).toDouble(&ok);
    return ok && std::isfinite(mark) && mark > 0 ? mark : lowBalanceThreshold;
}

bool setLowMark(Provider provider, double mark)
{
    return write(QStringLiteral("lowMark/") + provider.rawValue(), mark);
}

} // namespace creditgauge::Settings
