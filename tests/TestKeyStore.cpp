#include "store/KeyStore.h"

#include <QProcess>
#include <QTest>

using namespace creditgauge;

namespace {

std::optional<QString> readKey(const QString &account)
{
    std::optional<std::optional<QString>> answer;
    KeyStore::read(account, [&answer](std::optional<QString> key) { answer = key; });
    if (!QTest::qWaitFor([&] { return answer.has_value(); }, 10000))
        qFatal("the secret store did not answer a read");
    return *answer;
}

bool saveKey(const QString &key, const QString &account)
{
    std::optional<bool> saved;
    KeyStore::save(key, account, [&saved](bool ok) { saved = ok; });
    if (!QTest::qWaitFor([&] { return saved.has_value(); }, 10000))
        qFatal("the secret store did not answer a save");
    return *saved;
}

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

bool withSecretService()
{
    return qEnvironmentVariable("CREDITGAUGE_TEST_SECRET_SERVICE") != QLatin1String("none");
}

} // namespace

// Against the real secret service of the test session; twice more without one (see
// tests/CMakeLists.txt), where only noSecretServiceAnswersPromptly runs.
class TestKeyStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        if (withSecretService()
            == QByteArrayView(QTest::currentTestFunction()).startsWith("noSecret"))
            QSKIP("belongs to the other run");
        if (withSecretService() && qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            QSKIP("needs the secret service of scripts/test-session.sh");
    }

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
        QFETCH(QString, key);
        const QString a = fresh(), b = fresh();
        QVERIFY(saveKey(key, a));
        QVERIFY(saveKey(QStringLiteral("other"), b));
        QCOMPARE(readKey(a), std::optional(key));
        QCOMPARE(readKey(b), std::optional(QStringLiteral("other")));
        QCOMPARE(readKey(fresh()), std::nullopt);
    }

    void overwriteAndTheReadmeCommandShareOneEntry()
    {
        const QString account = fresh();
        QCOMPARE(
            secretTool(QStringList {QStringLiteral("store"), QStringLiteral("--label=creditgauge")}
                           + readmeAttributes(account),
                       "sk-shell"),
            QByteArray());
        QCOMPARE(readKey(account), std::optional(QStringLiteral("sk-shell")));
        QVERIFY(saveKey(QStringLiteral("sk-first"), account));
        QVERIFY(saveKey(QStringLiteral("sk-second"), account));
        QCOMPARE(readKey(account), std::optional(QStringLiteral("sk-second")));
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
        QFETCH(QByteArray, stored);
        const QString account = fresh();
        secretTool(QStringList {QStringLiteral("store"), QStringLiteral("--label=x")}
                       + readmeAttributes(account),
                   stored);
        QCOMPARE(readKey(account), std::nullopt);
        QVERIFY(saveKey(QString(), account)); // an empty value is stored, and reads as no key
        QCOMPARE(readKey(account), std::nullopt);
    }

    void concurrentReadsAllGetTheAnswer()
    {
        const QString account = fresh();
        QVERIFY(saveKey(QStringLiteral("sk-shared"), account));
        QList<std::optional<QString>> answers;
        for (int i = 0; i < 3; ++i)
            KeyStore::read(account,
                           [&answers](std::optional<QString> key) { answers.append(key); });
        QVERIFY(answers.isEmpty()); // never inside the call that asked
        QTRY_COMPARE(answers, QList<std::optional<QString>>(3, QStringLiteral("sk-shared")));
    }

    void noSecretServiceAnswersPromptly()
    {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(readKey(QStringLiteral("api-key")), std::nullopt);
        QCOMPARE(saveKey(QStringLiteral("sk-nowhere"), QStringLiteral("api-key")), false);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    }

private:
    QString fresh() { return QStringLiteral("test-account-%1").arg(++m_serial); }
    int m_serial = 0;
};

QTEST_GUILESS_MAIN(TestKeyStore)
#include "TestKeyStore.moc"
