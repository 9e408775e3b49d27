// FakeProviderServer over HTTPS for shell tests:
//   fake_provider --cert PEM --key PEM --log FILE [--delay MS] --route PATH=STATUS:BODY ...
// Listens on 127.0.0.1:443, prints "ready", logs "METHOD TARGET accept=.. ua=.. auth=ok|wrong"
// per request; auth= compares with "Bearer $FAKE_PROVIDER_EXPECT_KEY", so no key is written.

#include "FakeProviderServer.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

static QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("fake_provider: cannot read %s", qPrintable(path));
    return file.readAll();
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    FakeProviderServer server;
    QString cert, key;
    QFile log;
    std::chrono::milliseconds delay {0};
    QList<std::pair<QByteArray, FakeProviderServer::Response>> routes;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        const QString &option = args[i], &value = args[i + 1];
        if (option == u"--cert")
            cert = value;
        else if (option == u"--key")
            key = value;
        else if (option == u"--log")
            log.setFileName(value);
        else if (option == u"--delay")
            delay = std::chrono::milliseconds(value.toInt());
        else if (option == u"--route") {
            const QString answer = value.section(u'=', 1);
            routes.append({value.section(u'=', 0, 0).toUtf8(),
                           {.status = answer.section(u':', 0, 0).toInt(),
                            .body = answer.section(u':', 1).toUtf8()}});
        } else
            qFatal("fake_provider: unknown option %s", qPrintable(option));
    }
    for (auto &[path, response] : routes) {
        response.delay = delay;
        server.setResponse(path, response);
    }
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        qFatal("fake_provider: cannot open the --log file");

    const QByteArray expectedAuth = "Bearer " + qgetenv("FAKE_PROVIDER_EXPECT_KEY");
    QObject::connect(&server, &FakeProviderServer::requestReceived, &server, [&] {
        const FakeProviderServer::Request r = server.requests().constLast();
        const bool authOk
            = r.header("Authorization") == expectedAuth && r.headerCount("Authorization") == 1;
        log.write(r.method + ' ' + r.target + " accept=" + r.header("Accept").value_or("-")
                  + " ua=" + r.header("User-Agent").value_or("-")
                  + (authOk ? " auth=ok\n" : " auth=wrong\n"));
    });

    if (!server.listenTls(QSslCertificate(readFile(cert)), QSslKey(readFile(key), QSsl::Ec), 443))
        qFatal("fake_provider: cannot listen on 127.0.0.1:443");
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
