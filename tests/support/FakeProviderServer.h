#pragma once

#include "providers/ProviderClient.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>
#include <utility>

// An HTTP/1.1 server on 127.0.0.1 (HTTPS with a certificate) standing in for a provider. Each
// path answers as scripted ("PATH KEY": to requests with that bearer key only), any other with
// 404; every request is recorded.
class FakeProviderServer : public QObject
{
    Q_OBJECT
public:
    using Header = std::pair<QByteArray, QByteArray>;

    struct Response
    {
        int status = 200;
        QByteArray body {};
        QList<Header> headers {}; // besides Content-Length and Connection
        std::chrono::milliseconds delay {0}; // before anything is sent
        std::optional<qsizetype> closeAfter {}; // announce the whole body, send this much, close
        std::optional<qsizetype> streamBytes {}; // announce no length, send this much, never end
    };

    struct Request
    {
        QByteArray method;
        QByteArray target; // path and query as sent
        QList<Header> headers; // values trimmed
        QByteArray head; // request line and headers, verbatim

        std::optional<QByteArray> header(QByteArrayView name) const; // the first, in any case
        qsizetype headerCount(QByteArrayView name) const;
    };

    using QObject::QObject;

    bool listen() { return start(new QTcpServer(this), 0); }
    bool listenTls(const QSslCertificate &certificate, const QSslKey &key, quint16 port = 0);
    QString url(const QString &path) const; // "http(s)://127.0.0.1:<port>" + path
    // Every provider endpoint on this server, at the providers' own paths (Moonshot's China
    // platform under /cn).
    creditgauge::ProviderClient::Transport transport(std::chrono::milliseconds timeout) const
    {
        const QString base = url({});
        return {[base](const QString &address) {
                    const QUrl u(address);
                    const QString prefix = u.host() == u"api.moonshot.cn" ? QStringLiteral("/cn") : QString();
                    return base + prefix + u.path(QUrl::FullyEncoded)
                        + (u.hasQuery() ? u'?' + u.query(QUrl::FullyEncoded) : QString());
                },
                timeout,
                {}};
    }

    // A server listening on loopback to which every provider query of this process goes from
    // now on (answers within 5 s); null when it cannot listen.
    static std::unique_ptr<FakeProviderServer> standIn();
    // A certificate for 127.0.0.1 signed by its own key, made by openssl; null when that fails.
    static std::pair<QSslCertificate, QSslKey> selfSignedCertificate();

    void setResponse(const QByteArray &path, const Response &r) { m_responses.insert(path, r); }
    void setResponse(const QByteArray &path, int status, const QByteArray &body)
    {
        setResponse(path, Response {.status = status, .body = body});
    }
    QList<Request> requests() const { return m_requests; }

Q_SIGNALS:
    void requestReceived(const QByteArray &target);

private:
    bool start(QTcpServer *server, quint16 port);
    void onReadyRead(QTcpSocket *socket);

    QTcpServer *m_server = nullptr;
    QHash<QByteArray, Response> m_responses;
    QList<Request> m_requests;
};

// DeepSeek's answer for a balance of `total`, the number written as short as it reads back.
QByteArray deepseekBody(double total, const QString &currency = QStringLiteral("USD"));
