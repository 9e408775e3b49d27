#include "store/KeyStore.h"

#include "TestSession.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace creditgauge;

using TestSession::readKey;
using TestSession::SecretService;

namespace {

bool saveKey(const QString &key, const QString &account)
{
    return TestSession::storeKey(key, account);
}

KeyStore::ReadResult found(const QString &key)
{
    return std::optional(key);
}

const KeyStore::ReadResult nothing = std::nullopt;

// secret-tool with the README's attributes; a stored secret goes in on standard input.
QByteArray secretTool(const QStringList &args, const QByteArray &input = {})
{
    QProcess p;
    p.start(QStringLiteral("secret-tool"), args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(10000);
    return p.exitCode() == 0 ? p.readAllStandardOutput() + p.readAllStandardError() : "failed";
}

QStringList readmeAttributes(const QString &account)
{
    return {QStringLiteral("xdg:schema"), QStringLiteral("org.qt.keychain"),
            QStringLiteral("server"),     QStringLiteral("creditgauge"),
            QStringLiteral("user"),       account,
            QStringLiteral("type"),       QStringLiteral("plaintext")};
}

} // namespace

// Against the real secret service of the test session; more runs without one, and with a
// keyring of their own that they lock and stop (see tests/CMakeLists.txt).
class TestKeyStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:

    void roundTripKeepsAccountsApart_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("plain") << QStringLiteral("sk-0123456789abcdef");
        QTest::newRow("surrounding blanks kept") << QStringLiteral("  sk-with blanks\t ");
        QTest::newRow("non-ASCII") << QStringLiteral("sk-äöü-密钥-\U0001F511");
        QTest::newRow("leading U+FEFF kept") << QStringLiteral("\uFEFFsk-bom");
    }
    void roundTripKeepsAccountsApart()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QFETCH(QString, key);
        const QString a = fresh(), b = fresh();
        QVERIFY(saveKey(key, a));
        QVERIFY(saveKey(QStringLiteral("other"), b));
        QCOMPARE(readKey(a), found(key));
        QCOMPARE(readKey(b), found(QStringLiteral("other")));
        QCOMPARE(readKey(fresh()), nothing);
    }

    void overwriteAndTheReadmeCommandShareOneEntry()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        const QString account = fresh();
        QCOMPARE(
            secretTool(QStringList {QStringLiteral("store"), QStringLiteral("--label=creditgauge")}
                           + readmeAttributes(account),
                       "sk-shell"),
            QByteArray());
        QCOMPARE(readKey(account), found(QStringLiteral("sk-shell")));
        QVERIFY(saveKey(QStringLiteral("sk-first"), account));
        QVERIFY(saveKey(QStringLiteral("sk-second"), account));
        QCOMPARE(readKey(account), found(QStringLiteral("sk-second")));
        // A key changed outside the program is read as it is now, not as it was read before.
        secretTool(QStringList {QStringLiteral("store"), QStringLiteral("--label=creditgauge")}
                       + readmeAttributes(account),
                   "sk-third");
        QTRY_COMPARE(readKey(account), found(QStringLiteral("sk-third")));
        const QByteArray found
            = secretTool(QStringList {QStringLiteral("search"), QStringLiteral("--all")}
                         + readmeAttributes(account));
        QCOMPARE(found.count("secret = "), 1);
    }

    void unusableValuesReadAsNothing_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("invalid UTF-8") << QByteArray("sk-\xff\xfe");
        QTest::newRow("truncated sequence") << QByteArray("sk-\xc3");
        QTest::newRow("overlong encoding") << QByteArray("sk-\xc0\xaf");
    }
    void unusableValuesReadAsNothing()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        QFETCH(QByteArray, stored);
        const QString account = fresh();
        secretTool(QStringList {QStringLiteral("store"), QStringLiteral("--label=x")}
                       + readmeAttributes(account),
                   stored);
        QCOMPARE(readKey(account), nothing);
        QVERIFY(saveKey(QString(), account)); // an empty value is stored, and reads as no key
        QCOMPARE(readKey(account), nothing);
    }

    void concurrentReadsAllGetTheAnswer()
    {
        TEST_SESSION_REQUIRE(SecretService::Shared);
        const QString account = fresh();
        QVERIFY(saveKey(QStringLiteral("sk-shared"), account));
        QList<KeyStore::ReadResult> answers;
        for (int i = 0; i < 3; ++i)
            KeyStore::read(account,
                           [&answers](const KeyStore::ReadResult &key) { answers.append(key); });
        QVERIFY(answers.isEmpty()); // never inside the call that asked
        QTRY_COMPARE(answers, QList<KeyStore::ReadResult>(3, found(QStringLiteral("sk-shared"))));
    }

    // Never "no key" when the store cannot say: that would tell the user their key is gone.
    void noSecretServiceIsUnavailable()
    {
        TEST_SESSION_REQUIRE(SecretService::None);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(readKey(QStringLiteral("api-key")),
                 KeyStore::ReadResult(std::unexpected(KeyStore::Failure::Unavailable)));
        QCOMPARE(saveKey(QStringLiteral("sk-nowhere"), QStringLiteral("api-key")), false);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    }

    // A keyring stopped in its tracks, as one waiting on an unlock prompt seems: each caller
    // hears so by its deadline, none waits for ever, and the read goes on to its answer.
    void storeThatDoesNotAnswer()
    {
        TEST_SESSION_REQUIRE(SecretService::Private);
        const QString account = fresh();
        QVERIFY(saveKey(QStringLiteral("sk-late"), account));
        const qint64 keyring = TestSession::keyringPid();
        QVERIFY(keyring > 0 && ::kill(pid_t(keyring), SIGSTOP) == 0);
        const auto noAnswer = KeyStore::ReadResult(std::unexpected(KeyStore::Failure::NoAnswer));
        std::optional<KeyStore::ReadResult> eventually;
        KeyStore::read(account, [&](const KeyStore::ReadResult &key) { eventually = key; });
        QCOMPARE(readKey(account, std::chrono::milliseconds(200)), noAnswer);
        QCOMPARE(readKey(account, std::chrono::milliseconds(200)), noAnswer);
        ::kill(pid_t(keyring), SIGCONT);
        QTRY_COMPARE(eventually, std::optional(found(QStringLiteral("sk-late"))));
    }

    // A locked keyring whose unlock prompt goes unanswered reads as locked, not as no key.
    void lockedKeyringIsNotAMissingKey()
    {
        TEST_SESSION_REQUIRE(SecretService::Private);
        const QString account = fresh();
        QVERIFY(saveKey(QStringLiteral("sk-locked"), account));
        QVERIFY(TestSession::lockKeyring());
        QCOMPARE(readKey(account),
                 KeyStore::ReadResult(std::unexpected(KeyStore::Failure::Locked)));
        QCOMPARE(readKey(fresh()), nothing);
    }

private:
    QString fresh() { return QStringLiteral("test-account-%1").arg(++m_serial); }
    int m_serial = 0;
};

QTEST_GUILESS_MAIN(TestKeyStore)
#include "TestKeyStore.moc"
