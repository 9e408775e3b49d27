#include "FakeProviderServer.h"

#include <QHostAddress>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

std::optional<QByteArray> FakeProviderServer::Request::header(QByteArrayView name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

qsizetype FakeProviderServer::Request::headerCount(QByteArrayView name) const
{
    qsizetype n = 0;
    for (const auto &h : headers)
        n += h.first.compare(name, Qt::CaseInsensitive) == 0 ? 1 : 0;
    return n;
}

FakeProviderServer::FakeProviderServer(QObject *parent) : QObject(parent) { }

FakeProviderServer::~FakeProviderServer() = default;

bool FakeProviderServer::listen(quint16 port)
{
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, &FakeProviderServer::onNewConnection);
    return m_server->listen(QHostAddress::LocalHost, port);
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
    m_server = server;
    m_tls = true;
    // QSslServer announces a connection only once its handshake is done.
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this,
            &FakeProviderServer::onNewConnection);
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 FakeProviderServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QString FakeProviderServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
            .arg(port())
            .arg(path);
}

void FakeProviderServer::setResponse(const QByteArray &path, const Response &response)
{
    m_responses.insert(path, response);
}

void FakeProviderServer::setResponse(const QByteArray &path, int status, const QByteArray &body)
{
    Response r;
    r.status = status;
    r.body = body;
    setResponse(path, r);
}

QList<FakeProviderServer::Request> FakeProviderServer::requestsFor(QByteArrayView path) const
{
    QList<Request> out;
    for (const Request &r : m_requests) {
        if (r.target == path)
            out.append(r);
    }
    return out;
}

void FakeProviderServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        m_buffers.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void FakeProviderServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    // One request per connection read at a time; these clients send no bodies.
    for (qsizetype end = buffer.indexOf("\r\n\r\n"); end >= 0; end = buffer.indexOf("\r\n\r\n")) {
        Request request;
        request.head = buffer.left(end + 4);
        buffer.remove(0, end + 4);

        const QList<QByteArray> lines = request.head.left(end).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        request.version = requestLine.value(2);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({ line.left(colon), line.mid(colon + 1).trimmed() });
        }
        m_requests.append(request);
        Q_EMIT requestReceived(request.target);

        const qsizetype query = request.target.indexOf('?');
        const QByteArray path = query < 0 ? request.target : request.target.left(query);
        Response response;
        if (auto it = m_responses.constFind(path); it != m_responses.cend()) {
            response = *it;
        } else {
            response.status = 404;
            response.body = R"({"error":"not found"})";
        }
        if (response.hang)
            continue;
        if (response.delay.count() > 0) {
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(response.delay, this, [this, guard, response] {
                if (guard)
                    answer(guard, response);
            });
        } else {
            answer(socket, response);
        }
    }
}

void FakeProviderServer::answer(QTcpSocket *socket, const Response &response)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
            + reasonPhrase(response.status) + "\r\n";
    for (const auto &[name, value] : response.headers)
        out += name + ": " + value + "\r\n";

    if (response.streamBytes) {
        // No length announced: the body ends when the connection does.
        out += "Connection: close\r\n\r\n";
        socket->write(out);
        constexpr qsizetype chunk = 64 * 1024;
        for (qsizetype sent = 0; sent < *response.streamBytes; sent += chunk)
            socket->write(QByteArray(qMin(chunk, *response.streamBytes - sent), 'x'));
        socket->disconnectFromHost();
        return;
    }

    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (response.closeAfter) {
        out += "Connection: close\r\n\r\n";
        out += response.body.left(*response.closeAfter);
        socket->write(out);
        socket->flush();
        socket->disconnectFromHost();
        return;
    }
    out += "\r\n" + response.body;
    socket->write(out);
}
