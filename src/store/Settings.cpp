#include "Settings.h"

#include <QSettings>

namespace creditgauge::Settings {
namespace {

const QString providerKey = QStringLiteral("provider");

QSettings store()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("creditgauge"),
                     QStringLiteral("creditgauge"));
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
    QSettings settings = store();
    settings.setValue(providerKey, provider.rawValue());
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace creditgauge::Settings
