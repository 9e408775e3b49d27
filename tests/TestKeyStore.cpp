#include "store/KeyStore.h"

#include <QProcess>
#include <QTest>

#include <optional>

using namespace creditgauge;
using namespace std::chrono_literals;

namespace {

// Waits for the completion of one KeyStore call; the store answers asynchronously.
template<typename T>
struct Answer
{
    std::optional<T> value;
    int calls = 0;
    auto completion()
    {
        return [this](T v) {
            value = std::move(v);
            ++calls;
        };
    }
};

std::optional<QString> readKey(const QString &account)
{
    Answer<std::optional<QString>> answer;
    KeyStore::read(account, answer.completion());
    if (!QTest::qWaitFor([&] { return answer.calls > 0; }, 10000))
        qFatal("secret store did not answer a read");
    return *answer.value;
}

bool saveKey(const QString &key, const QString &account)
{
    Answer<bool> answer;
    KeyStore::save(key, account, answer.completion());
    if (!QTest::qWaitFor([&] { return answer.calls > 0; }, 10000))
        qFatal("secret store did not answer a save");
    return *answer.value;
}

// The secret-tool command the README gives users; `secret` goes in on standard input, as the
// user would type it, never on the command line.
bool secretToolStore(const QString &account, const QByteArray &secret)
{
    QProcess p;
    p.start(QStringLiteral("secret-tool"),
            { QStringLiteral("store"), QStringLiteral("--label=creditgauge"), QStringLiteral("xdg:schema"),
              QStringLiteral("org.qt.keychain"), QStringLiteral("server"),
              QStringLiteral("creditgauge"), QStringLiteral("user"), account, QStringLiteral("type"),
              QStringLiteral("plaintext") });
    p.write(secret);
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

int entriesFor(const QString &account)
{
    QProcess p;
    p.start(QStringLiteral("secret-tool"),
            { QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("server"),
              QStringLiteral("creditgauge"), QStringLiteral("user"), account });
    p.waitForFinished(10000);
    return int(p.readAllStandardOutput().count("\nsecret = ") + p.readAllStandardError().count("\nsecret = "));
}

bool secretServiceExpected()
{
    return qEnvironmentVariable("CREDITGAUGE_TEST_SECRET_SERVICE") != QLatin1String("none");
}

} // namespace

class TestKeyStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void roundTripKeepsAccountsApart_data();
    void roundTripKeepsAccountsApart();
    void overwriteLeavesOneEntryWithTheSecondKey();
    void unusableValuesReadAsNothing_data();
    void unusableValuesReadAsNothing();
    void keyStoredWithSecretToolIsFound();
    void concurrentReadsAllGetTheAnswer();
    void noSecretServiceAnswersPromptly();

private:
    int m_serial = 0;
    QString freshAccount() { return QStringLiteral("test-account-%1").arg(++m_serial); }
};

void TestKeyStore::initTestCase()
{
    if (secretServiceExpected() && qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        QSKIP("No D-Bus session with a secret service; run through scripts/test-session.sh");
}

void TestKeyStore::roundTripKeepsAccountsApart_data()
{
    QTest::addColumn<QString>("key");
    QTest::newRow("plain") << "sk-0123456789abcdef";
    QTest::newRow("surrounding blanks kept") << "  sk-with blanks\t ";
    QTest::newRow("non-ASCII") << QStringLiteral("sk-äöü-密钥-\U0001F511");
    QTest::newRow("leading U+FEFF kept") << QStringLiteral("\uFEFFsk-bom");
}

void TestKeyStore::roundTripKeepsAccountsApart()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    QFETCH(QString, key);
    const QString a = freshAccount();
    const QString b = freshAccount();
    QVERIFY(saveKey(key, a));
    QVERIFY(saveKey(QStringLiteral("other-") + key, b));
    QCOMPARE(readKey(a), std::optional(key));
    QCOMPARE(readKey(b), std::optional(QStringLiteral("other-") + key));
    QCOMPARE(readKey(freshAccount()), std::nullopt);
}

void TestKeyStore::overwriteLeavesOneEntryWithTheSecondKey()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    const QString account = freshAccount();
    QVERIFY(saveKey(QStringLiteral("sk-first"), account));
    QVERIFY(saveKey(QStringLiteral("sk-second"), account));
    QCOMPARE(readKey(account), std::optional(QStringLiteral("sk-second")));
    QCOMPARE(entriesFor(account), 1);
}

void TestKeyStore::unusableValuesReadAsNothing_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("throughKeyStore");
    QTest::newRow("empty, saved by us") << QByteArray() << true;
    QTest::newRow("invalid UTF-8") << QByteArray("sk-\xff\xfe") << false;
    QTest::newRow("truncated UTF-8 sequence") << QByteArray("sk-\xc3") << false;
    QTest::newRow("overlong encoding") << QByteArray("sk-\xc0\xaf") << false;
}

void TestKeyStore::unusableValuesReadAsNothing()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    QFETCH(QByteArray, stored);
    QFETCH(bool, throughKeyStore);
    const QString account = freshAccount();
    if (throughKeyStore)
        QVERIFY(saveKey(QString::fromUtf8(stored), account));
    else
        QVERIFY(secretToolStore(account, stored));
    QCOMPARE(readKey(account), std::nullopt);
}

void TestKeyStore::keyStoredWithSecretToolIsFound()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    const QString account = freshAccount();
    QVERIFY(secretToolStore(account, "sk-from-the-shell"));
    QCOMPARE(readKey(account), std::optional(QStringLiteral("sk-from-the-shell")));
    // And what we store, secret-tool finds under the same attributes.
    QVERIFY(saveKey(QStringLiteral("sk-from-us"), account));
    QCOMPARE(entriesFor(account), 1);
}

void TestKeyStore::concurrentReadsAllGetTheAnswer()
{
    if (!secretServiceExpected())
        QSKIP("runs with a secret service only");
    const QString account = freshAccount();
    QVERIFY(saveKey(QStringLiteral("sk-shared"), account));

    QList<std::optional<QString>> answers;
    for (int i = 0; i < 3; ++i)
        KeyStore::read(account, [&answers](std::optional<QString> key) { answers.append(key); });
    // Completions never run inside the call that asked.
    QVERIFY(answers.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 3, 10000);
    for (const auto &a : answers)
        QCOMPARE(a, std::optional(QStringLiteral("sk-shared")));
    QTest::qWait(100);
    QCOMPARE(answers.size(), 3);
}

void TestKeyStore::noSecretServiceAnswersPromptly()
{
    if (secretServiceExpected())
        QSKIP("runs on a bus without a secret service (see tests/CMakeLists.txt)");
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(readKey(QStringLiteral("api-key")), std::nullopt);
    QCOMPARE(saveKey(QStringLiteral("sk-nowhere"), QStringLiteral("api-key")), false);
    // Prompt means well under the time a user would wait for a tray icon to react.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(TestKeyStore)
#include "TestKeyStore.moc"
