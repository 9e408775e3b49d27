// fake_provider: a FakeProviderServer speaking HTTPS on 127.0.0.1, scripted from the command
// line, so shell tests can put it behind the real provider host names.
//
//   fake_provider --port 443 --cert server.pem --key server.key
//                 --route /user/balance=200:@body.json --route /api/v1/credits=403
//                 [--log requests.log]
//
// A route is PATH=STATUS[:BODY]; BODY is inline text, or @FILE to read it from a file.
// Prints "ready" on stdout once listening. Each request is logged as one line
// "METHOD TARGET accept=... ua=... auth=..." (to --log, else stderr). The Authorization value
// is never logged: with FAKE_PROVIDER_EXPECT_KEY set in the environment, auth= says only
// whether it was exactly "Bearer <that key>" (ok, wrong, missing); without it, auth= is omitted.

#include "FakeProviderServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "fake_provider: %s\n", qPrintable(message));
    std::exit(2);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1").arg(path));
    return file.readAll();
}

QSslKey readKey(const QString &path)
{
    const QByteArray pem = readFile(path);
    for (QSsl::KeyAlgorithm algorithm : { QSsl::Rsa, QSsl::Ec }) {
        QSslKey key(pem, algorithm, QSsl::Pem);
        if (!key.isNull())
            return key;
    }
    fail(QStringLiteral("no RSA or EC private key in %1").arg(path));
}

// PATH=STATUS[:BODY] with BODY inline or @FILE.
void addRoute(FakeProviderServer &server, const QString &route)
{
    const qsizetype eq = route.indexOf(u'=');
    if (eq <= 0)
        fail(QStringLiteral("bad --route %1").arg(route));
    const qsizetype colon = route.indexOf(u':', eq);
    bool ok = false;
    const int status = route.mid(eq + 1, colon < 0 ? -1 : colon - eq - 1).toInt(&ok);
    if (!ok)
        fail(QStringLiteral("bad status in --route %1").arg(route));
    const QString body = colon < 0 ? QString() : route.mid(colon + 1);
    server.setResponse(route.left(eq).toUtf8(), status,
                       body.startsWith(u'@') ? readFile(body.mid(1)) : body.toUtf8());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port."),
                                        QStringLiteral("port"), QStringLiteral("443"));
    const QCommandLineOption certOption(QStringLiteral("cert"),
                                        QStringLiteral("Server certificate (PEM)."),
                                        QStringLiteral("file"));
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("Server private key (PEM)."),
                                       QStringLiteral("file"));
    const QCommandLineOption routeOption(QStringLiteral("route"),
                                         QStringLiteral("PATH=STATUS[:BODY|:@FILE]"),
                                         QStringLiteral("route"));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Request log (default stderr)."),
                                       QStringLiteral("file"));
    parser.addOptions({ portOption, certOption, keyOption, routeOption, logOption });
    parser.process(app);

    if (!parser.isSet(certOption) || !parser.isSet(keyOption))
        fail(QStringLiteral("--cert and --key are required"));
    const QList<QSslCertificate> certs =
            QSslCertificate::fromData(readFile(parser.value(certOption)), QSsl::Pem);
    if (certs.isEmpty())
        fail(QStringLiteral("no certificate in %1").arg(parser.value(certOption)));
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535)
        fail(QStringLiteral("bad --port"));

    FakeProviderServer server;
    for (const QString &route : parser.values(routeOption))
        addRoute(server, route);

    QFile log;
    if (parser.isSet(logOption)) {
        log.setFileName(parser.value(logOption));
        if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            fail(QStringLiteral("cannot open %1").arg(parser.value(logOption)));
    } else if (!log.open(stderr, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        fail(QStringLiteral("cannot use stderr"));
    }

    std::optional<QByteArray> expectedAuth;
    if (qEnvironmentVariableIsSet("FAKE_PROVIDER_EXPECT_KEY"))
        expectedAuth = "Bearer " + qgetenv("FAKE_PROVIDER_EXPECT_KEY");

    QObject::connect(&server, &FakeProviderServer::requestReceived, &server, [&] {
        const FakeProviderServer::Request r = server.requests().constLast();
        QByteArray line = r.method + ' ' + r.target;
        line += " accept=" + r.header("Accept").value_or("-");
        line += " ua=" + r.header("User-Agent").value_or("-");
        if (expectedAuth) {
            const std::optional<QByteArray> auth = r.header("Authorization");
            line += !auth ? " auth=missing"
                          : (*auth == *expectedAuth && r.headerCount("Authorization") == 1
                                     ? " auth=ok"
                                     : " auth=wrong");
        }
        log.write(line + '\n');
    });

    if (!server.listenTls(certs.constFirst(), readKey(parser.value(keyOption)),
                          static_cast<quint16>(port)))
        fail(QStringLiteral("cannot listen on 127.0.0.1:%1").arg(port));

    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    return app.exec();
}
