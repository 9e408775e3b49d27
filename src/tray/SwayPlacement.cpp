#include "SwayPlacement.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QPointer>
#include <QRect>
#include <QTimer>
#include <QWidget>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <optional>

namespace creditgauge::SwayPlacement {
namespace {

// sway's IPC (the i3 protocol): "i3-ipc", payload length and message type in native byte
// order, then the payload.
enum MessageType : quint32 { RunCommand = 0, GetWorkspaces = 1, GetOutputs = 3, GetTree = 4 };
constexpr int answerWaitMs = 500;

std::optional<QJsonDocument> ask(QLocalSocket &socket, MessageType type, const QByteArray &payload)
{
    QByteArray message("i3-ipc");
    const quint32 header[2] {quint32(payload.size()), type};
    message.append(reinterpret_cast<const char *>(header), sizeof header);
    socket.write(message + payload);
    if (!socket.waitForBytesWritten(answerWaitMs))
        return std::nullopt;
    QByteArray answer;
    while (answer.size() < 14 && socket.waitForReadyRead(answerWaitMs))
        answer += socket.readAll();
    if (answer.size() < 14)
        return std::nullopt;
    quint32 length;
    std::memcpy(&length, answer.constData() + 6, sizeof length);
    while (answer.size() < 14 + qsizetype(length) && socket.waitForReadyRead(answerWaitMs))
        answer += socket.readAll();
    return QJsonDocument::fromJson(answer.mid(14, length));
}

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

bool place()
{
    QLocalSocket socket;
    socket.connectToServer(qEnvironmentVariable("SWAYSOCK"));
    if (!socket.waitForConnected(answerWaitMs))
        return false;
    const auto tree = ask(socket, GetTree, {});
    const auto window = tree ? findWindow(tree->object()) : std::nullopt;
    if (!window)
        return false;
    const QByteArray criteria
        = "[con_id=" + QByteArray::number(window->value(QLatin1String("id")).toInteger()) + "] ";
    // sway centres the window on the pointer, kept on the pointer's output: horizontally that is
    // just where it belongs; vertically it tells on which side of the screen the bar is.
    ask(socket, RunCommand, criteria + "move position cursor");
    const auto moved = ask(socket, GetTree, {});
    const auto centred = moved ? findWindow(moved->object()) : std::nullopt;
    const auto outputs = ask(socket, GetOutputs, {});
    const auto workspaces = ask(socket, GetWorkspaces, {});
    if (!centred || !outputs || !workspaces)
        return true;
    const QRect rect = rectOf(*centred);
    QRect screen;
    for (const QJsonValue output : outputs->array()) {
        if (const QRect r = rectOf(output.toObject()); r.contains(rect.center()))
            screen = r;
    }
    // The visible workspace leaves out the bars' exclusive zones: its edge is the bar's.
    QRect usable = screen;
    for (const QJsonValue workspace : workspaces->array()) {
        const QJsonObject w = workspace.toObject();
        if (w.value(QLatin1String("visible")).toBool() && screen.contains(rectOf(w).center()))
            usable = rectOf(w);
    }
    if (screen.isEmpty())
        return true;
    const bool barAtTop = rect.top() == screen.top()
        || (rect.bottom() != screen.bottom() && rect.center().y() < screen.center().y());
    constexpr int gap = 1;
    const int y = barAtTop ? usable.top() + gap : usable.bottom() + 1 - gap - rect.height();
    ask(socket, RunCommand,
        criteria + "move absolute position " + QByteArray::number(rect.x()) + ' '
            + QByteArray::number(y));
    return true;
}

// sway knows the window only once it is mapped and focused; a few tries, a moment apart.
void attempt(QPointer<QWidget> window, int triesLeft)
{
    if (!window || !window->isVisible() || place() || triesLeft == 0)
        return;
    QTimer::singleShot(40, window, [window, triesLeft] { attempt(window, triesLeft - 1); });
}

} // namespace

bool available()
{
    return QGuiApplication::platformName().startsWith(u"wayland")
        && !qEnvironmentVariableIsEmpty("SWAYSOCK");
}

void placeBelowPointer(QWidget *window)
{
    if (!available())
        return;
    QPointer<QWidget> guard(window);
    QTimer::singleShot(0, window, [guard] { attempt(guard, 8); });
}

} // namespace creditgauge::SwayPlacement
