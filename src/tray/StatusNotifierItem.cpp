#include "StatusNotifierItem.h"

#include "DBusMenuExporter.h"
#include "StatusNotifierItemAdaptor.h"
#include "TitleIcon.h"
#include "TrayHosts.h"
#include "WindowSystem.h"
#include "core/Format.h"
#include "core/Log.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMenu>
#include <QStandardPaths>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace creditgauge {
namespace {

// The icon theme folder holding the plain symbols: the installed one beside the program, or the
// build folder's for a program run from there. Empty when neither has them.
QString symbolsFolder()
{
    const QString program = QCoreApplication::applicationDirPath();
    for (const QString &folder : {program + QStringLiteral("/../share/icons"),
                                  program + QStringLiteral("/../packaging/icons")}) {
        if (QFile::exists(folder
                          + QStringLiteral("/hicolor/symbolic/apps/creditgauge-symbolic.svg")))
            return QDir::cleanPath(folder);
    }
    return {};
}

// The title's pictures as the icon `name`, one per offered size, in the theme folder `root`
// (waybar searches it alone, so it needs an index of its own; Xfce uses the same). False when
// it cannot be written.
// GTK notices new files in a theme folder it has read only by the folder's time stamp, to the
// second, so each title gets a folder of its own.
bool writeTitleIcons(const QString &root, const QString &name, const QString &figure, bool alarm)
{
    QString index = QStringLiteral("[Icon Theme]\nName=hicolor\nDirectories=");
    QString sections;
    for (const int size : titleIconSizes) {
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        index += folder + u',';
        sections += QStringLiteral("\n[%1]\nSize=%2\nType=Fixed\n").arg(folder).arg(size);
        QFile png(root + QStringLiteral("/hicolor/%1/%2.png").arg(folder, name));
        if (!QDir().mkpath(root + QStringLiteral("/hicolor/") + folder)
            || !png.open(QIODevice::WriteOnly)
            || png.write(plainPng(renderTitle(figure, alarm, size))) <= 0)
            return false;
    }
    QFile file(root + QStringLiteral("/hicolor/index.theme"));
    return file.open(QIODevice::WriteOnly) && file.write((index + sections).toUtf8()) > 0;
}

DBusImage networkOrderImage(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    DBusImage out {image.width(), image.height(), {}};
    out.pixels.resize(qsizetype(image.width()) * image.height() * 4);
    auto *to = reinterpret_cast<quint32 *>(out.pixels.data());
    for (int y = 0; y < image.height(); ++y) {
        const auto *from = reinterpret_cast<const quint32 *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            *to++ = qToBigEndian(from[x]);
    }
    return out;
}

// Longer activation tokens are refused. Those in use are far shorter (a UUID; a startup id of
// some 100 bytes), and the compositor must get the token back inside one Wayland message,
// which holds at most 4096 bytes.
constexpr qsizetype maxTokenBytes = 1024;

// Qt's Wayland plugin reads XDG_ACTIVATION_TOKEN when a window asks to be activated, and then
// unsets it. The variable is set from this one buffer with putenv: setenv (qputenv) keeps a
// copy of every value it was ever given, for the life of the process.
constexpr char tokenName[] = "XDG_ACTIVATION_TOKEN";
char tokenVariable[sizeof tokenName + maxTokenBytes + 1];

void offerToken(const QByteArray &token)
{
    // Out of the environment before it changes, so that no reader sees half a token.
    qunsetenv(tokenName);
    char *end = std::copy(std::begin(tokenName), std::end(tokenName) - 1, tokenVariable);
    *end++ = '=';
    *std::copy(token.cbegin(), token.cend(), end) = '\0';
    ::putenv(tokenVariable);
}

} // namespace

bool StatusNotifierItem::isWatcherAvailable()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected()
        && bus.interface()->isServiceRegistered(QLatin1String(watcherService)).value();
}

StatusNotifierItem::StatusNotifierItem(QObject *parent)
    : StatusItem(parent)
    , m_bus(QDBusConnection::sessionBus())
    , m_title(Format::missingAmount())
    , m_symbols(symbolsFolder())
{
    registerDBusTypes();
    new StatusNotifierItemAdaptor(this);
    m_exporter = new DBusMenuExporter(nullptr, this);
    updateIcon();
    m_bus.registerObject(QLatin1String(objectPath), this, QDBusConnection::ExportAdaptors);
    m_exporter->registerOn(m_bus);

    // A panel that restarts brings a new watcher, which knows nothing of us.
    m_watcher = new QDBusServiceWatcher(QLatin1String(watcherService), m_bus,
                                        QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &StatusNotifierItem::registerWithWatcher);
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem()
{
    m_bus.unregisterObject(QLatin1String(objectPath));
    m_bus.unregisterObject(QLatin1String(DBusMenuExporter::objectPath));
}

void StatusNotifierItem::registerWithWatcher()
{
    if (!isWatcherAvailable())
        return;
    const QString host = TrayHosts::processOf(m_bus, QLatin1String(watcherService));
    m_exporter->setExportShortcuts(TrayHosts::showsShortcuts(host));
    const bool label = TrayHosts::showsLabel(host), scales = TrayHosts::scalesPixmaps(host);
    if (label != m_hostShowsLabel || scales != m_hostScalesPixmaps) {
        m_hostShowsLabel = label;
        m_hostScalesPixmaps = scales;
        updateIcon();
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(watcherService), QStringLiteral("/StatusNotifierWatcher"),
        QLatin1String(watcherService), QStringLiteral("RegisterStatusNotifierItem"));
    // The item goes by the connection's own name, not by a name of its own such as
    // "org.kde.StatusNotifierItem-PID-1". GNOME's AppIndicator extension watches such a name
    // apart from reading the item, and when that watch reports in just after the properties were
    // read it clears them, fails to read them again and drops the item for good.
    call << m_bus.baseService();
    QDBusPendingCallWatcher *reply = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    qCDebug(log::tray).noquote() << "registering" << m_bus.baseService() << "with the watcher of"
                                 << (host.isEmpty() ? QStringLiteral("an unknown host") : host);
    connect(reply, &QDBusPendingCallWatcher::finished, this, [reply] {
        reply->deleteLater();
        if (reply->isError())
            qCDebug(log::tray).noquote() << "the watcher refused:" << reply->error().message();
    });
}

// A host reads the picture as it draws the item: that, more than the registration, is when the
// item is on screen. Said once the host has its answer.
DBusImageList StatusNotifierItem::iconPixmap()
{
    if (!std::exchange(m_pictureRead, true))
        QMetaObject::invokeMethod(this, &StatusItem::shown, Qt::QueuedConnection);
    return m_icon;
}

void StatusNotifierItem::setTitle(const QString &title, bool alarm)
{
    if (title == m_title && alarm == m_alarm)
        return;
    const bool alarmChanged = alarm != m_alarm;
    m_title = title;
    m_alarm = alarm;
    updateIcon();
    Q_EMIT XAyatanaNewLabel(label(), labelGuide());
    if (alarmChanged) {
        m_attention = alarm;
        Q_EMIT NewStatus(status());
    }
    Q_EMIT NewToolTip();
}

void StatusNotifierItem::seen()
{
    if (std::exchange(m_attention, false))
        Q_EMIT NewStatus(status());
}

void StatusNotifierItem::setDetails(const QStringList &lines)
{
    if (lines == m_details)
        return;
    m_details = lines;
    m_exporter->setHeader(lines);
    Q_EMIT NewToolTip();
}

void StatusNotifierItem::setMenu(QMenu *menu)
{
    m_menu = menu;
    m_exporter->setMenu(menu);
    // Whoever opens it, the host over D-Bus or we ourselves.
    if (menu)
        connect(menu, &QMenu::aboutToShow, this, &StatusNotifierItem::seen, Qt::UniqueConnection);
}

bool StatusNotifierItem::canPopUpMenu() const
{
    return !WindowSystem::isWayland();
}

void StatusNotifierItem::popUpMenu()
{
    if (!m_menu || !canPopUpMenu())
        return;
    m_menu->popup(m_anchor.isEmpty() ? QCursor::pos() : m_anchor.bottomLeft());
}

QRect StatusNotifierItem::anchor() const
{
    return m_anchor;
}

// While the panel is open the item offers no text to hover over: Xfce builds a tooltip from
// the title and the accessible description when there is no tooltip, and lays it over the
// panel for as long as the pointer rests on the item.
void StatusNotifierItem::setPanelOpen(bool open)
{
    if (open)
        seen();
    if (open == m_panelOpen)
        return;
    m_panelOpen = open;
    Q_EMIT NewTitle();
    Q_EMIT NewToolTip();
}

QString StatusNotifierItem::title() const
{
    return m_panelOpen ? QString() : QStringLiteral("CreditGauge");
}

QString StatusNotifierItem::status() const
{
    return m_attention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active");
}

QDBusObjectPath StatusNotifierItem::menuPath() const
{
    return QDBusObjectPath(QLatin1String(DBusMenuExporter::objectPath));
}

// What a screen reader says for the item: whose balance, and the title.
QString StatusNotifierItem::accessibleDescription() const
{
    if (m_panelOpen)
        return {};
    const QString whose = m_details.value(0);
    return whose.isEmpty()
        ? QStringLiteral("CreditGauge: ") + m_title
        : QStringLiteral("CreditGauge, ") + whose + QStringLiteral(": ") + m_title;
}

// Empty while the panel is open: hosts then hide the tooltip instead of laying it over the
// panel.
DBusToolTip StatusNotifierItem::toolTip() const
{
    if (m_panelOpen)
        return {};
    return {QString(),
            {},
            QStringLiteral("CreditGauge \u00b7 ") + m_title,
            m_details.join(QLatin1Char('\n'))};
}

// The widest the label gets at this length, so that hosts keep its width steady.
QString StatusNotifierItem::labelGuide() const
{
    QString guide = m_title;
    for (QChar &c : guide) {
        if (c.isDigit())
            c = u'8';
    }
    return guide;
}

QString StatusNotifierItem::iconName() const
{
    if (m_hostScalesPixmaps)
        return m_titleWritten ? QStringLiteral("creditgauge-title") : QString();
    if (!m_hostShowsLabel || m_symbols.isEmpty())
        return {};
    return m_alarm ? QStringLiteral("creditgauge-alarm-symbolic")
                   : QStringLiteral("creditgauge-symbolic");
}

QString StatusNotifierItem::iconThemePath() const
{
    if (m_hostScalesPixmaps)
        return m_titleWritten ? m_titleThemes + u'/' + QString::number(m_titleSerial) : QString();
    return iconName().isEmpty() ? QString() : m_symbols;
}

void StatusNotifierItem::updateIcon()
{
    // Beside a label the figure would only repeat it: the badge then carries the alarm alone.
    const QString figure = m_hostShowsLabel ? QStringLiteral("$") : m_title;
    DBusImageList icon;
    for (const int size : titleIconSizes)
        icon << networkOrderImage(renderTitle(figure, m_alarm, size));
    m_icon = icon;
    if (m_hostScalesPixmaps) {
        // Written once the event loop runs, so that the item's start does not wait for it.
        if (!std::exchange(m_themeQueued, true))
            QTimer::singleShot(0, this, &StatusNotifierItem::writeTitleTheme);
        return;
    }
    Q_EMIT NewIcon();
    Q_EMIT NewAttentionIcon();
}

void StatusNotifierItem::writeTitleTheme()
{
    m_themeQueued = false;
    if (m_titleThemes.isEmpty()) {
        m_titleThemes = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
            + QStringLiteral("/creditgauge-icons");
        QDir(m_titleThemes).removeRecursively();
    }
    // The folder before this one goes; the host may still read the one in use.
    QDir(m_titleThemes + u'/' + QString::number(m_titleSerial - 1)).removeRecursively();
    const QString folder = m_titleThemes + u'/' + QString::number(++m_titleSerial);
    m_titleWritten = writeTitleIcons(folder, QStringLiteral("creditgauge-title"), m_title, m_alarm);
    if (!m_titleWritten)
        qCDebug(log::tray).noquote() << "the title's icons cannot be written to" << folder;
    Q_EMIT NewIconThemePath(iconThemePath());
    Q_EMIT NewIcon();
    Q_EMIT NewAttentionIcon();
}

void StatusNotifierItem::ContextMenu(int x, int y)
{
    m_anchor = QRect(x, y, 1, 1);
    popUpMenu();
}

void StatusNotifierItem::Activate(int x, int y)
{
    // Hosts that cannot tell where the item is send 0, 0.
    m_anchor = x == 0 && y == 0 ? QRect() : QRect(x, y, 1, 1);
    const QByteArray token = std::exchange(m_token, {});
    // The host asks over D-Bus, with no keyboard state; the display server still knows it.
    if (QGuiApplication::queryKeyboardModifiers() & Qt::ControlModifier && canPopUpMenu()) {
        popUpMenu();
        return;
    }
    // The panel opens while the signal is handled; the token is in the environment only
    // for that, and never reaches a program started later.
    if (!token.isEmpty())
        offerToken(token);
    Q_EMIT clicked();
    if (!token.isEmpty())
        qunsetenv(tokenName);
}

void StatusNotifierItem::SecondaryActivate(int, int) { }

void StatusNotifierItem::Scroll(int, const QString &) { }

// A host that grants us focus (xdg-activation on Wayland) hands its token over before the
// Activate it belongs to. Only the newest is kept: any program on the bus may call this.
void StatusNotifierItem::ProvideXdgActivationToken(const QString &token)
{
    m_token = token.toUtf8();
    if (m_token.size() > maxTokenBytes) {
        qCDebug(log::tray) << "refused an activation token of" << m_token.size() << "bytes";
        m_token.clear();
    }
}

} // namespace creditgauge
