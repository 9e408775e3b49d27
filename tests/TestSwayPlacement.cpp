#include "tray/SwayPlacement.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <cstring>
#include <utility>

using creditgauge::SwayPlacement::placeBelowPointer;

namespace {

QByteArray rect(const QRect &r)
{
    return QString::asprintf(R"("rect":{"x":%d,"y":%d,"width":%d,"height":%d})", r.x(), r.y(),
                             r.width(), r.height())
        .toUtf8();
}

// sway's end of the IPC socket, in the test's own thread: a client that waits for it
// synchronously never hears back. Answers go out in two pieces cut inside the first header.
class FakeSway : public QObject
{
    Q_OBJECT
public:
    FakeSway()
    {
        server.listen(dir.filePath(QStringLiteral("sway.sock")));
        connect(&server, &QLocalServer::newConnection, this, [this] {
            QLocalSocket *client = server.nextPendingConnection();
            connect(client, &QLocalSocket::readyRead, this, [this, client] { answer(client); });
        });
    }

    QString path() const { return server.fullServerName(); }

    bool silent = false;
    QRect output {0, 0, 1920, 1080}, workspace, moved; // moved: after "move position cursor"
    QList<QByteArray> commands;
    QTemporaryDir dir;
    QLocalServer server;
    QByteArray buffer, held;
    int trees = 0;

    QByteArray reply(quint32 type, const QByteArray &payload)
    {
        if (type == 0) {
            commands.append(payload);
            return R"([{"success":true}])";
        }
        if (type == 1)
            return R"([{"visible":true,)" + rect(workspace) + "}]";
        if (type == 3)
            return "[{" + rect(output) + "}]";
        // Our window shows up in the second tree only, as a freshly mapped one would.
        const QByteArray window = R"({"id":7,"type":"floating_con","focused":true,"pid":)"
            + QByteArray::number(QCoreApplication::applicationPid()) + ','
            + rect(commands.isEmpty() ? QRect(820, 440, 280, 200) : moved) + '}';
        return "{" + rect(output) + R"(,"floating_nodes":[)" + (++trees > 1 ? window : "") + "]}";
    }
    void answer(QLocalSocket *client)
    {
        buffer += client->readAll();
        QByteArray out;
        quint32 header[2]; // payload length, message type
        while (buffer.size() >= 14) {
            std::memcpy(header, buffer.constData() + 6, sizeof header);
            if (buffer.size() < 14 + qsizetype(header[0]))
                break;
            const QByteArray body = reply(header[1], buffer.mid(14, header[0]));
            buffer.remove(0, 14 + header[0]);
            header[0] = body.size();
            out += "i3-ipc" + QByteArray(reinterpret_cast<const char *>(header), 8) + body;
        }
        if (silent || out.isEmpty())
            return;
        if (held.isEmpty()) {
            client->write(out.left(9));
            client->flush();
            out.remove(0, 9);
            QTimer::singleShot(0, client,
                               [this, client] { client->write(std::exchange(held, {})); });
        }
        held += out;
    }
};

} // namespace

class TestSwayPlacement : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void placesThePanelAgainstTheBar_data()
    {
        QTest::addColumn<QRect>("workspace");
        QTest::addColumn<QRect>("moved");
        QTest::addColumn<int>("y");
        // A 1920x1080 output with a 30 px bar; the 280x200 panel centred on the pointer, which
        // is on the bar, then kept on the output by sway.
        QTest::newRow("top bar") << QRect(0, 30, 1920, 1050) << QRect(900, 0, 280, 200) << 31;
        QTest::newRow("bottom bar") << QRect(0, 0, 1920, 1050) << QRect(900, 880, 280, 200) << 849;
    }
    void placesThePanelAgainstTheBar()
    {
        QFETCH(QRect, workspace);
        QFETCH(QRect, moved);
        QFETCH(int, y);
        FakeSway sway;
        sway.workspace = workspace;
        sway.moved = moved;
        QWidget window;
        window.show();
        QSignalSpy ended(placeBelowPointer(&window, sway.path()), &QObject::destroyed);
        QVERIFY(ended.wait(10000));
        const QByteArray move = "[con_id=7] move absolute position 900 " + QByteArray::number(y);
        QCOMPARE(sway.commands, QList<QByteArray>({"[con_id=7] move position cursor", move}));
    }

    // A sway that never answers costs the event loop nothing; a new showing supersedes the
    // attempt still waiting, and the newer one gives up on its own.
    void swayThatDoesNotAnswer()
    {
        FakeSway sway;
        sway.silent = true;
        QWidget window;
        window.show();
        const QPointer<QObject> first = placeBelowPointer(&window, sway.path());
        QVERIFY(QSignalSpy(&sway.server, &QLocalServer::newConnection).wait(10000));
        QVERIFY(first);
        QSignalSpy ended(placeBelowPointer(&window, sway.path()), &QObject::destroyed);
        QVERIFY(!first);
        QVERIFY(ended.wait(10000));
    }
};

QTEST_MAIN(TestSwayPlacement)
#include "TestSwayPlacement.moc"
