#include "TestSession.h"

#include "core/Provider.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>
#include <QTest>

using namespace creditgauge;
using namespace Qt::StringLiterals;

namespace TestSession {

bool has(SecretService wanted)
{
    if (wanted != SecretService::None && qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return false;
    const QString kind = qEnvironmentVariable("CREDITGAUGE_TEST_SECRET_SERVICE");
    const SecretService run = kind == u"none" ? SecretService::None
        : kind == u"private"                  ? SecretService::Private
                                              : SecretService::Shared;
    // The shared keyring is also there in a private run, just not shared.
    return run == wanted || (wanted == SecretService::Shared && run == SecretService::Private);
}

bool storeKey(const QString &key, const QString &account)
{
    std::optional<bool> saved;
    KeyStore::save(key, account, [&saved](bool ok) { saved = ok; });
    return QTest::qWaitFor([&] { return saved.has_value(); }, 10000) && *saved;
}

KeyStore::ReadResult readKey(const QString &account)
{
    std::optional<KeyStore::ReadResult> answer;
    KeyStore::read(account, [&answer](const KeyStore::ReadResult &key) { answer = key; });
    if (!QTest::qWaitFor([&] { return answer.has_value(); }, 30000))
        qFatal("the secret store did not answer a read");
    return *answer;
}

bool startFresh(const QString &configHome)
{
    if (!has(SecretService::Shared) && !has(SecretService::None))
        return false;
    QFile::remove(configHome + QStringLiteral("/creditgauge/creditgauge.conf"));
    if (has(SecretService::None))
        return true;
    QProcess::execute(u"secret-tool"_s, {u"clear"_s, u"server"_s, u"creditgauge"_s});
    for (const Provider p : Provider::allCases())
        creditgauge::KeyStore::forget(p.keychainAccount());
    return true;
}

qint64 keyringPid()
{
    return QDBusConnection::sessionBus().interface()->servicePid(u"org.freedesktop.secrets"_s);
}

bool lockKeyring()
{
    QDBusMessage lock = QDBusMessage::createMethodCall(
        u"org.freedesktop.secrets"_s, u"/org/freedesktop/secrets"_s,
        u"org.freedesktop.Secret.Service"_s, u"Lock"_s);
    lock << QVariant::fromValue(
        QList {QDBusObjectPath(u"/org/freedesktop/secrets/collection/login"_s)});
    return QDBusConnection::sessionBus().call(lock, QDBus::Block, 10000).type()
        == QDBusMessage::ReplyMessage;
}

FakeDBusService::~FakeDBusService()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool FakeDBusService::start(const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(FAKE_DBUS_SERVICE), arguments);
    return m_process.waitForReadyRead(10000) && m_process.readLine().trimmed() == "ready";
}

bool FakeDBusService::send(const QByteArray &line)
{
    m_process.write(line + '\n');
    return m_process.waitForReadyRead(5000) && m_process.readLine().trimmed() == line;
}

} // namespace TestSession
