#include "store/KeyStore.h"

#include "TestSession.h"

#include <QProcess>
#include <QTest>

#include <csignal>

using namespace creditgauge;
using namespace Qt::StringLiterals;
using TestSession::readKey;
using TestSession::SecretService;
using TestSession::storeKey;

namespace {

KeyStore::ReadResult found(const QString &key)
{
    return std::optional(key);
}

const KeyStore::ReadResult nothing = std::nullopt;

KeyStore::ReadResult failure(KeyStore::Failure f)
{
    return std::unexpected(f);
}

// secret-tool with the README's attributes; a stored secret goes in on standard input.
QByteArray secretTool(const QString &command, const QString &account, const QByteArray &input = {})
{
    QProcess p;
    p.start(u"secret-tool"_s,
            {command, command == u"store"_s ? u"--label=creditgauge"_s : u"--all"_s,
             u"xdg:schema"_s, u"org.qt.keychain"_s, u"server"_s, u"creditgauge"_s, u"user"_s,
             account, u"type"_s, u"plaintext"_s});
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(10000);
    return p.exitCode() == 0 ? p.readAllStandardOutput() + p.readAllStandardError() : "failed";
}

} // namespace

// Against the real secret service of the test session; more runs without one, and with a
// keyring of their own that they lock and stop (see tests/CMakeLists.txt).
class TestKeyStore : public QObject
{
    Q_OBJECT
    int m_serial = 0;

    QString fresh() { return u"test-account-%1"_s.arg(++m_serial); }

private Q_SLOTS:
    // Keys come back exactly, each under its own account; the README's command stores where
    // the program reads, a save overwrites that one entry, and a change made outside the
    // program is read as it is now.
    void roundTrip()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        const QString key = u"\uFEFF sk-äöü-密钥-\U0001F511\t"_s, a = fresh(), b = fresh();
        QVERIFY(storeKey(key, a) && storeKey(u"other"_s, b));
        QCOMPARE(readKey(a), found(key));
        QCOMPARE(readKey(b), found(u"other"_s));
        QCOMPARE(readKey(fresh()), nothing);

        QCOMPARE(secretTool(u"store"_s, a, "sk-shell"), QByteArray());
        QTRY_COMPARE(readKey(a), found(u"sk-shell"_s));
        QVERIFY(storeKey(u"sk-second"_s, a));
        QCOMPARE(readKey(a), found(u"sk-second"_s));
        QCOMPARE(secretTool(u"search"_s, a).count("secret = "), 1);

        // What is no text, or no key at all, reads as nothing.
        secretTool(u"store"_s, a, "sk-\xff\xfe");
        QTRY_COMPARE(readKey(a), nothing);
        QVERIFY(storeKey(QString(), b));
        QCOMPARE(readKey(b), nothing);
    }

    void concurrentReadsAllGetTheAnswer()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        const QString account = fresh();
        QVERIFY(storeKey(u"sk-shared"_s, account));
        QList<KeyStore::ReadResult> answers;
        for (int i = 0; i < 3; ++i)
            KeyStore::read(account,
                           [&answers](const KeyStore::ReadResult &key) { answers.append(key); });
        QVERIFY(answers.isEmpty()); // never inside the call that asked
        QTRY_COMPARE(answers, QList<KeyStore::ReadResult>(3, found(u"sk-shared"_s)));

        // A read still under way when a save begins may bring the old key: it is not kept,
        // so what is read once the save is done is the new one.
        bool saved = false;
        KeyStore::forget(account);
        KeyStore::read(account, [](const KeyStore::ReadResult &) {});
        KeyStore::save(u"sk-new"_s, account, [&saved](bool ok) { saved = ok; });
        QTRY_VERIFY(saved);
        QCOMPARE(readKey(account), found(u"sk-new"_s));
    }

    // Never "no key" when the store cannot say: that would tell the user their key is gone.
    void noSecretServiceIsUnavailable()
    {
        TEST_SESSION_REQUIRE(SecretService::None);
        QCOMPARE(readKey(u"api-key"_s), failure(KeyStore::Failure::Unavailable));
        QVERIFY(!storeKey(u"sk-nowhere"_s, u"api-key"_s));
    }

    // A keyring stopped in its tracks, as one waiting on an unlock prompt seems: each caller
    // hears so by its deadline, none waits for ever, and the read goes on to its answer.
    void storeThatDoesNotAnswer()
    {
        TEST_SESSION_REQUIRE(SecretService::Private);
        const QString account = fresh();
        QVERIFY(storeKey(u"sk-late"_s, account));
        const qint64 keyring = TestSession::keyringPid();
        QVERIFY(keyring > 0 && ::kill(pid_t(keyring), SIGSTOP) == 0);
        std::optional<KeyStore::ReadResult> eventually;
        KeyStore::read(account, [&](const KeyStore::ReadResult &key) { eventually = key; });
        for (int i = 0; i < 2; ++i)
            QCOMPARE(readKey(account, std::chrono::milliseconds(200)),
                     failure(KeyStore::Failure::NoAnswer));
        ::kill(pid_t(keyring), SIGCONT);
        QTRY_COMPARE(eventually, std::optional(found(u"sk-late"_s)));
    }

    // A locked keyring whose unlock prompt goes unanswered reads as locked, not as no key.
    void lockedKeyringIsNotAMissingKey()
    {
        TEST_SESSION_REQUIRE(SecretService::Private);
        const QString account = fresh();
        QVERIFY(storeKey(u"sk-locked"_s, account));
        QVERIFY(TestSession::lockKeyring());
        QCOMPARE(readKey(account), failure(KeyStore::Failure::Locked));
        QCOMPARE(readKey(fresh()), nothing);
    }
};

QTEST_GUILESS_MAIN(TestKeyStore)
#include "TestKeyStore.moc"
