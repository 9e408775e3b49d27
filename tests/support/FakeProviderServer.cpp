#include "FakeProviderServer.h"

#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QSslServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

std::optional<QByteArray> FakeProviderServer::Request::header(QByteArrayView name) const
{
    const auto found = std::ranges::find_if(
        headers, [&](const Header &h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; });
    return found == headers.end() ? std::nullopt : std::optional(found->second);
}

qsizetype FakeProviderServer::Request::headerCount(QByteArrayView name) const
{
    return std::ranges::count_if(
        headers, [&](const Header &h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; });
}

bool FakeProviderServer::listenTls(const QSslCertificate &certificate, const QSslKey &key,
                                   quint16 port)
{
    auto *server = new QSslServer(this);
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(certificate);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // clients present no certificate
    server->setSslConfiguration(config);
    return start(server, port);
}

std::unique_ptr<FakeProviderServer> FakeProviderServer::standIn()
{
    auto server = std::make_unique<FakeProviderServer>();
    if (!server->listen())
        return nullptr;
    creditgauge::ProviderClient::setTransportForTesting(server->transport(std::chrono::seconds(5)));
    return server;
}

QByteArray deepseekBody(double total, const QString &currency)
{
    return R"({"balance_infos": [{"currency": ")" + currency.toUtf8() + R"(", "total_balance": )"
        + QByteArray::number(total, 'g', QLocale::FloatingPointShortest) + "}]}";
}

std::pair<QSslCertificate, QSslKey> FakeProviderServer::selfSignedCertificate()
{
    QTemporaryDir dir;
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral("openssl"),
            QStringLiteral("req -x509 -config /dev/null -nodes -newkey ec -pkeyopt "
                           "ec_paramgen_curve:prime256v1 -subj /CN=localhost -addext "
                           "subjectAltName=IP:127.0.0.1 -days 2 -keyout key.pem -out cert.pem")
                .split(u' '));
    QFile key(dir.filePath(QStringLiteral("key.pem")));
    if (!p.waitForFinished() || p.exitCode() != 0 || !key.open(QIODevice::ReadOnly)) {
        qWarning("openssl: %s", p.readAllStandardError().constData());
        return {QSslCertificate(), QSslKey()};
    }
    return {QSslCertificate::fromPath(dir.filePath(QStringLiteral("cert.pem"))).value(0),
            QSslKey(&key, QSsl::Ec)};
}

bool FakeProviderServer::start(QTcpServer *server, quint16 port)
{
    m_server = server;
    // A QSslServer offers a connection only once its handshake is done.
    connect(server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            onReadyRead(socket);
        }
    });
    return server->listen(QHostAddress::LocalHost, port);
}

QString FakeProviderServer::url(const QString &path) const
{
    const bool tls = qobject_cast<QSslServer *>(m_server);
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(QLatin1StringView(tls ? "https" : "http"), QString::number(m_server->serverPort()),
             path);
}

static void answer(QTcpSocket *socket, const FakeProviderServer::Response &r)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + " Fake\r\n";
    for (const auto &[name, value] : r.headers)
        out += name + ": " + value + "\r\n";
    if (!r.streamBytes)
        out += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
    out += r.closeAfter ? "Connection: close\r\n\r\n" : "\r\n";
    socket->write(out
                  + (r.streamBytes ? QByteArray(*r.streamBytes, 'x')
                                   : r.body.left(r.closeAfter.value_or(r.body.size()))));
    if (r.closeAfter)
        socket->disconnectFromHost();
}

// These clients send no request bodies, so a request ends with its blank line.
void FakeProviderServer::onReadyRead(QTcpSocket *socket)
{
    for (qsizetype end; (end = socket->peek(socket->bytesAvailable()).indexOf("\r\n\r\n")) >= 0;) {
        Request request;
        request.head = socket->read(end + 4);
        const QList<QByteArray> lines = request.head.trimmed().split('\n');
        const QList<QByteArray> requestLine = lines.front().trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (const QByteArray &line : lines.mid(1)) {
            if (const qsizetype colon = line.indexOf(':'); colon > 0)
                request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
        }
        m_requests.append(request);
        Q_EMIT requestReceived(request.target);
        const QByteArray path = request.target.split('?').front();
        const QByteArray key = request.header("Authorization").value_or("").mid(7);
        const Response r = m_responses.value(
            path + ' ' + key, m_responses.value(path, Response {.status = 404, .body = "{}"}));
        QTimer::singleShot(r.delay, socket, [socket, r] { answer(socket, r); });
    }
}
