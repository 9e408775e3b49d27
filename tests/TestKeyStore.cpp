#include "store/KeyStore.h"

#include "TestSession.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <sys/wait.h>

using namespace creditgauge;
using namespace Qt::StringLiterals;
using TestSession::readKey;
using TestSession::SecretService;
using TestSession::storeKey;

// KWallet's daemon with its wallet still to be set up: it answers all but the opening.
class FakeKWallet : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.KWallet")
public:
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"kw"_s);
    bool opening = false;
    ~FakeKWallet() override { QDBusConnection::disconnectFromBus(u"kw"_s); }

public Q_SLOTS:
    QString networkWallet() { return u"kdewallet"_s; }
    bool isOpen(const QString &) { return false; }
    int open(const QString &, qlonglong, const QString &, const QDBusMessage &call)
    {
        call.setDelayedReply(opening = true);
        return 0;
    }
};

// Against the real secret service of the test session; more runs without one, and with a
// keyring of their own that they lock (see tests/CMakeLists.txt).
class TestKeyStore : public QObject
{
    Q_OBJECT
    int m_serial = 0;

    QString fresh() { return u"test-account-%1"_s.arg(++m_serial); }
    static KeyStore::ReadResult found(const QString &key) { return std::optional(key); }
    static KeyStore::ReadResult failed(KeyStore::Failure f) { return std::unexpected(f); }
    static inline const KeyStore::ReadResult nothing = std::nullopt;

private Q_SLOTS:
    // Keys come back exactly, each under its own account, a save overwrites the key, and a
    // removal leaves none, also when there was none to remove.
    void roundTrip()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        const QString key = u"\uFEFF sk-äöü-密钥-\U0001F511\t"_s, a = fresh(), b = fresh();
        QVERIFY(storeKey(key, a) && storeKey(u"other"_s, b));
        QCOMPARE(readKey(a), found(key));
        QCOMPARE(readKey(b), found(u"other"_s));
        QCOMPARE(readKey(fresh()), nothing);
        QVERIFY(storeKey(u"sk-second"_s, a));
        QCOMPARE(readKey(a), found(u"sk-second"_s));
        for (int i = 0; i < 2; ++i) {
            std::optional<bool> removed;
            KeyStore::remove(a, [&removed](bool ok) { removed = ok; });
            QTRY_COMPARE(removed, std::optional(true));
            QCOMPARE(readKey(a), nothing);
        }
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

        // A read whose answer, the entry as it was, comes in after a save or removal began:
        // neither it nor a read that joins it meanwhile gets that, but what follows. Its helper
        // process is left to end (unreaped, so unheard) before the change begins.
        const auto answeredRead = [&account] {
            KeyStore::forget(account);
            KeyStore::read(account, [](const KeyStore::ReadResult &) {});
            siginfo_t ended {};
            if (const auto helpers = qApp->findChildren<QProcess *>(); !helpers.isEmpty())
                ::waitid(P_PID, id_t(helpers.last()->processId()), &ended, WEXITED | WNOWAIT);
        };
        answeredRead();
        KeyStore::save(u"sk-new"_s, account, [](bool) {});
        QCOMPARE(readKey(account), found(u"sk-new"_s));
        answeredRead();
        KeyStore::remove(account, [](bool) {});
        QCOMPARE(readKey(account), nothing);
    }

    // Never "no key" when the store cannot say: that would tell the user their key is gone.
    void noSecretServiceIsUnavailable()
    {
        TEST_SESSION_REQUIRE(SecretService::None);
        QCOMPARE(readKey(u"api-key"_s), failed(KeyStore::Failure::Unavailable));
        QVERIFY(!storeKey(u"sk-nowhere"_s, u"api-key"_s));
    }

    // In a Plasma session the keys are in KWallet: a read that runs out of time while its wizard
    // or password prompt is up says that the wallet waits, and its opening is told.
    void kwalletThatWaitsForItsUser()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        FakeKWallet wallet;
        QVERIFY(wallet.bus.registerObject(u"/modules/kwalletd5"_s, &wallet,
                                          QDBusConnection::ExportAllSlots)
                && wallet.bus.registerService(u"org.kde.kwalletd5"_s));
        qputenv("XDG_CURRENT_DESKTOP", "KDE"), qputenv("KDE_SESSION_VERSION", "5");
        const auto plain = qScopeGuard([] { qunsetenv("XDG_CURRENT_DESKTOP"); });
        bool opened = false;
        KeyStore::watchService(&wallet, [&opened] { opened = true; });
        std::optional<KeyStore::ReadResult> answer;
        KeyStore::read(
            fresh(), [&answer](const KeyStore::ReadResult &key) { answer = key; },
            std::chrono::milliseconds(300));
        QTRY_VERIFY(wallet.opening);
        QTRY_COMPARE(answer, failed(KeyStore::Failure::Waiting));
        wallet.bus.send(QDBusMessage::createSignal(u"/modules/kwalletd5"_s, u"org.kde.KWallet"_s,
                                                   u"walletOpened"_s)
                        << u"kdewallet"_s);
        QTRY_VERIFY(opened);
    }

    // A locked keyring whose unlock prompt goes unanswered reads as locked, not as no key.
    void lockedKeyringIsNotAMissingKey()
    {
        TEST_SESSION_REQUIRE(SecretService::Private);
        const QString account = fresh();
        QVERIFY(storeKey(u"sk-locked"_s, account));
        QVERIFY(TestSession::lockKeyring());
        QCOMPARE(readKey(account), failed(KeyStore::Failure::Locked));
        QCOMPARE(readKey(fresh()), nothing);
    }
};

QTEST_GUILESS_MAIN(TestKeyStore)
#include "TestKeyStore.moc"
