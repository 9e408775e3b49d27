#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <chrono>
#include <optional>
#include <utility>

class QTcpServer;
class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 that stands in for a provider. Each path is scripted
// with the answer it gives; unscripted paths answer 404. Every request is recorded.
// With a certificate it speaks HTTPS instead.
class FakeProviderServer : public QObject
{
    Q_OBJECT
public:
    using Header = std::pair<QByteArray, QByteArray>;

    struct Response
    {
        int status = 200;
        QByteArray body;
        QList<Header> headers; // sent in addition to Content-Length and Connection
        std::chrono::milliseconds delay { 0 }; // before anything is sent
        bool hang = false; // read the request, never answer
        std::optional<qsizetype> closeAfter; // announce the whole body, send this many bytes, close
        std::optional<qsizetype> streamBytes; // announce nothing, send this many bytes of 'x', close
    };

    struct Request
    {
        QByteArray method;
        QByteArray target; // path and query as sent
        QByteArray version;
        QList<Header> headers; // in the order received, names as sent
        QByteArray head; // the request line and headers, verbatim

        // The value of the first header with this name (case-insensitive), if any.
        std::optional<QByteArray> header(QByteArrayView name) const;
        qsizetype headerCount(QByteArrayView name) const;
    };

    explicit FakeProviderServer(QObject *parent = nullptr);
    ~FakeProviderServer() override;

    // Listens on 127.0.0.1 (port 0: any free port). With a certificate and key, speaks TLS.
    bool listen(quint16 port = 0);
    bool listenTls(const QSslCertificate &certificate, const QSslKey &key, quint16 port = 0);

    quint16 port() const;
    // "http://127.0.0.1:<port>" + path (https for a TLS server).
    QString url(const QString &path) const;

    void setResponse(const QByteArray &path, const Response &response);
    void setResponse(const QByteArray &path, int status, const QByteArray &body);

    QList<Request> requests() const { return m_requests; }
    QList<Request> requestsFor(QByteArrayView path) const;
    void clearRequests() { m_requests.clear(); }

Q_SIGNALS:
    void requestReceived(const QByteArray &target);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Response &response);

    QTcpServer *m_server = nullptr;
    bool m_tls = false;
    QHash<QByteArray, Response> m_responses;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};
