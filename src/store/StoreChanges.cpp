#include "StoreChanges.h"

#include "core/Log.h"

#include <QCoreApplication>
#include <QPointer>

#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
#define CREDITGAUGE_SECRET_SERVICE 1
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#endif

namespace creditgauge::KeyStore {

StoreChanges::StoreChanges(Stale stale, QObject *parent)
    : QObject(parent)
    , m_stale(std::move(stale))
{ }

StoreChanges *StoreChanges::instance(const Stale &stale)
{
#ifdef CREDITGAUGE_SECRET_SERVICE
    static QPointer<StoreChanges> watching;
    if (watching || !QCoreApplication::instance())
        return watching;
    watching = new StoreChanges(stale, QCoreApplication::instance());
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QStringLiteral("org.freedesktop.secrets");
    const std::pair<const char *, const char *> announcements[] {
        {"org.freedesktop.Secret.Collection", "ItemCreated"},
        {"org.freedesktop.Secret.Collection", "ItemChanged"},
        {"org.freedesktop.Secret.Collection", "ItemDeleted"},
        {"org.freedesktop.Secret.Service", "CollectionCreated"},
        {"org.freedesktop.Secret.Service", "CollectionChanged"},
        {"org.freedesktop.Secret.Service", "CollectionDeleted"},
    };
    for (const auto &[interface, signal] : announcements)
        bus.connect(service, QString(), QLatin1String(interface), QLatin1String(signal), watching,
                    SLOT(changed()));
    // KWallet in a Plasma session: a wallet that opens answers the reads that waited for it;
    // an entry made in its manager changes what is stored.
    for (const QString &kwallet :
         {QStringLiteral("org.kde.kwalletd5"), QStringLiteral("org.kde.kwalletd6")}) {
        const QString interface = QStringLiteral("org.kde.KWallet");
        bus.connect(kwallet, QString(), interface, QStringLiteral("walletOpened"), watching,
                    SLOT(walletOpened()));
        for (const char *signal : {"folderUpdated", "folderListUpdated"})
            bus.connect(kwallet, QString(), interface, QLatin1String(signal), watching,
                        SLOT(changed()));
    }
    auto *owner
        = new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange, watching);
    connect(owner, &QDBusServiceWatcher::serviceOwnerChanged, watching,
            &StoreChanges::ownerChanged);
    return watching;
#else
    Q_UNUSED(stale);
    return nullptr;
#endif
}

void StoreChanges::changed()
{
    m_stale(false);
    Q_EMIT announced();
}

void StoreChanges::walletOpened()
{
    qCDebug(log::store, "KWallet opened a wallet");
    Q_EMIT announced();
}

void StoreChanges::ownerChanged(const QString &, const QString &, const QString &owner)
{
    qCDebug(log::store).noquote() << "the secret service"
                                  << (owner.isEmpty() ? "went" : "is there");
    m_stale(true);
    if (!owner.isEmpty())
        Q_EMIT announced();
}

} // namespace creditgauge::KeyStore
