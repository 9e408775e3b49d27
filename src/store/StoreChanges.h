#pragma once

#include <QObject>

#include <functional>

namespace creditgauge::KeyStore {

// Hears the secret store announce changes (an entry stored or removed with secret-tool or in
// KWallet's manager, a keyring locked, the daemon restarted, a wallet opened) and says so:
// `stale` first, so that what was read before is dropped (with the connection, when the daemon
// went or came), then announced(), after which a read may find what it could not before.
class StoreChanges : public QObject
{
    Q_OBJECT
public:
    using Stale = std::function<void(bool connectionToo)>;

    // The one instance, made on first use with `stale`; null without a secret service or
    // application.
    static StoreChanges *instance(const Stale &stale);

Q_SIGNALS:
    void announced();

private Q_SLOTS:
    void changed();
    void walletOpened();
    void ownerChanged(const QString &service, const QString &oldOwner, const QString &owner);

private:
    StoreChanges(Stale stale, QObject *parent);

    const Stale m_stale;
};

} // namespace creditgauge::KeyStore
