#pragma once

#include "store/KeyStore.h"

#include <QProcess>
#include <QString>

// What the tests use of the private session scripts/test-session.sh sets up: its secret
// service (gnome-keyring) and a stand-in NetworkManager on its stand-in system bus.
namespace TestSession {

// Which secret service this run has (CREDITGAUGE_TEST_SECRET_SERVICE): the session's shared
// keyring (unset), none ("none"), or one of its own to lock and stop ("private").
// TEST_SESSION_REQUIRE skips the calling test function unless the run has `wanted` and a bus.
enum class SecretService { Shared, None, Private };
#define TEST_SESSION_REQUIRE(wanted)                                                               \
    do {                                                                                           \
        if (!TestSession::has(wanted))                                                             \
            QSKIP("needs another secret service; see tests/CMakeLists.txt");                       \
    } while (false)
bool has(SecretService wanted);

// Forgets the provider choice stored under `configHome` and, where there is a keyring, the
// providers' keys. False when the run has neither a secret service nor a bus for one.
bool startFresh(const QString &configHome);

bool storeKey(const QString &key, const QString &account);
creditgauge::KeyStore::ReadResult readKey(const QString &account);

// The process that owns the secret service's name, and locking its default collection.
qint64 keyringPid();
bool lockKeyring();

// One of fake_dbus_service's stand-ins (its first argument names which), until this goes.
class FakeDBusService
{
public:
    ~FakeDBusService();
    bool start(const QStringList &arguments);
    // A line of input; true once the service has announced the change.
    bool send(const QByteArray &line);

private:
    QProcess m_process;
};

} // namespace TestSession
