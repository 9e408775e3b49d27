#include "SwayPlacement.h"

#include "WindowSystem.h"
#include "core/Log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstring>
#include <optional>

namespace creditgauge::SwayPlacement {
namespace {

// sway's IPC (the i3 protocol): "i3-ipc", payload length and message type in native byte
// order, then the payload. A reply carries the type of its request.
enum MessageType : quint32 { RunCommand = 0, GetWorkspaces = 1, GetOutputs = 3, GetTree = 4 };
constexpr qsizetype headerSize = 14;
// However slow sway is, the panel is long open by then: later, a move would only surprise.
constexpr std::chrono::milliseconds patience {2000};
// sway knows the window only once it is mapped and focused; a few looks, a moment apart.
constexpr int looks = 9;
constexpr std::chrono::milliseconds lookAgainAfter {40};

QRect rectOf(const QJsonObject &node)
{
    const QJsonObject r = node.value(QLatin1String("rect")).toObject();
    return QRect(r.value(QLatin1String("x")).toInt(), r.value(QLatin1String("y")).toInt(),
                 r.value(QLatin1String("width")).toInt(), r.value(QLatin1String("height")).toInt());
}

// Our window in sway's tree: this process's, focused (it was just activated), floating.
std::optional<QJsonObject> findWindow(const QJsonObject &node)
{
    if (node.value(QLatin1String("pid")).toInteger() == QCoreApplication::applicationPid()
        && node.value(QLatin1String("focused")).toBool()
        && node.value(QLatin1String("type")).toString() == u"floating_con")
        return node;
    for (const char *children : {"nodes", "floating_nodes"}) {
        for (const QJsonValue child : node.value(QLatin1String(children)).toArray()) {
            if (auto found = findWindow(child.toObject()))
                return found;
        }
    }
    return std::nullopt;
}

// Where the window goes once sway has centred it on the pointer, kept on the pointer's output:
// horizontally that is just where it belongs; vertically it tells on which side of the screen
// the bar is. Nothing when the window or its output cannot be found.
std::optional<QPoint> belowTheBar(const QJsonDocument &tree, const QJsonDocument &outputs,
                                  const QJsonDocument &workspaces)
{
    const auto centred = findWindow(tree.object());
    if (!centred)
        return std::nullopt;
    const QRect rect = rectOf(*centred);
    QRect screen;
    for (const QJsonValue output : outputs.array()) {
        if (const QRect r = rectOf(output.toObject()); r.contains(rect.center()))
            screen = r;
    }
    // The visible workspace leaves out the bars' exclusive zones: its edge is the bar's.
    QRect usable = screen;
    for (const QJsonValue workspace : workspaces.array()) {
        const QJsonObject w = workspace.toObject();
        if (w.value(QLatin1String("visible")).toBool() && screen.contains(rectOf(w).center()))
            usable = rectOf(w);
    }
    if (screen.isEmpty())
        return std::nullopt;
    const bool barAtTop = rect.top() == screen.top()
        || (rect.bottom() != screen.bottom() && rect.center().y() < screen.center().y());
    constexpr int gap = 1;
    return QPoint(rect.x(),
                  barAtTop ? usable.top() + gap : usable.bottom() + 1 - gap - rect.height());
}

// One placement: connect, find the window in the tree (looking again while it is not there
// yet), let sway centre it on the pointer, read where that put it, move it against the bar.
// Driven by the socket's signals, never waiting; it ends, and deletes itself, when it is done,
// when sway is gone or too slow, or when the window is hidden. A child of its window, so it
// goes with it.
class Attempt : public QObject
{
    Q_OBJECT
public:
    Attempt(QWidget *window, const QString &socketPath)
        : QObject(window)
        , m_window(window)
        , m_socket(new QLocalSocket(this))
    {
        m_clock.start();
        window->installEventFilter(this);
        QTimer::singleShot(patience, this, [this] { end("sway did not answer in time"); });
        connect(m_socket, &QLocalSocket::connected, this, [this] { send(GetTree); });
        connect(m_socket, &QLocalSocket::readyRead, this, &Attempt::readReplies);
        connect(m_socket, &QLocalSocket::errorOccurred, this,
                [this] { end(qPrintable(m_socket->errorString())); });
        connect(m_socket, &QLocalSocket::disconnected, this,
                [this] { end("sway closed the connection"); });
        m_socket->connectToServer(socketPath);
    }

    // Ends quietly; the user sees the panel where Qt put it.
    void end(const char *why)
    {
        if (m_ended)
            return;
        m_ended = true;
        qCDebug(log::tray).nospace()
            << "sway placement: " << why << " after " << m_clock.elapsed() << " ms";
        m_socket->disconnect(this);
        m_socket->abort();
        deleteLater();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_window && event->type() == QEvent::Hide)
            end("the window was hidden");
        return QObject::eventFilter(watched, event);
    }

private:
    enum class Step { FindWindow, CentreOnPointer, Measure, Move };

    void send(MessageType type, const QByteArray &payload = {})
    {
        const quint32 header[2] {quint32(payload.size()), type};
        m_socket->write("i3-ipc" + QByteArray(reinterpret_cast<const char *>(header), sizeof header)
                        + payload);
    }

    // The stream holds replies whole, cut anywhere, or several at once.
    void readReplies()
    {
        m_buffer += m_socket->readAll();
        while (!m_ended && m_buffer.size() >= headerSize) {
            quint32 header[2]; // payload length, message type
            std::memcpy(header, m_buffer.constData() + 6, sizeof header);
            if (!m_buffer.startsWith("i3-ipc"))
                return end("sway's reply makes no sense");
            if (m_buffer.size() < headerSize + qsizetype(header[0]))
                return;
            const QJsonDocument reply
                = QJsonDocument::fromJson(m_buffer.mid(headerSize, header[0]));
            m_buffer.remove(0, headerSize + header[0]);
            handle(header[1], reply);
        }
    }

    void handle(quint32 type, const QJsonDocument &reply)
    {
        if (!m_window || !m_window->isVisible())
            return end("the window is gone");
        switch (m_step) {
        case Step::FindWindow:
            if (const auto window = findWindow(reply.object())) {
                m_criteria = "[con_id="
                    + QByteArray::number(window->value(QLatin1String("id")).toInteger()) + "] ";
                m_step = Step::CentreOnPointer;
                return send(RunCommand, m_criteria + "move position cursor");
            }
            if (--m_looksLeft == 0)
                return end("our window is not in sway's tree");
            QTimer::singleShot(lookAgainAfter, this, [this] { send(GetTree); });
            return;
        case Step::CentreOnPointer:
            // Replies come in the order of the requests.
            m_step = Step::Measure;
            send(GetTree);
            send(GetOutputs);
            return send(GetWorkspaces);
        case Step::Measure:
            (type == GetTree ? m_tree : type == GetOutputs ? m_outputs : m_workspaces) = reply;
            if (type != GetWorkspaces)
                return;
            if (const auto at = belowTheBar(m_tree, m_outputs, m_workspaces)) {
                const QByteArray command = m_criteria + "move absolute position "
                    + QByteArray::number(at->x()) + ' ' + QByteArray::number(at->y());
                qCDebug(log::tray) << "sway placement:" << command;
                m_step = Step::Move;
                return send(RunCommand, command);
            }
            return end("no output holds the window");
        case Step::Move:
            return end("placed");
        }
    }

    QPointer<QWidget> m_window;
    QLocalSocket *m_socket;
    QElapsedTimer m_clock;
    QByteArray m_buffer;
    Step m_step = Step::FindWindow;
    int m_looksLeft = looks;
    QByteArray m_criteria;
    QJsonDocument m_tree, m_outputs, m_workspaces;
    bool m_ended = false;
};

} // namespace

bool available()
{
    return WindowSystem::isWayland() && !qEnvironmentVariableIsEmpty("SWAYSOCK");
}

void placeBelowPointer(QWidget *window)
{
    if (available())
        placeBelowPointer(window, qEnvironmentVariable("SWAYSOCK"));
}

QObject *placeBelowPointer(QWidget *window, const QString &socketPath)
{
    if (!window || !window->isVisible())
        return nullptr;
    // An older attempt would move the window to where it was shown before.
    for (Attempt *older : window->findChildren<Attempt *>(Qt::FindDirectChildrenOnly)) {
        older->end("superseded");
        delete older;
    }
    return new Attempt(window, socketPath);
}

} // namespace creditgauge::SwayPlacement

#include "SwayPlacement.moc"
