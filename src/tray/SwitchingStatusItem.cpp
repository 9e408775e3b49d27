#include "SwitchingStatusItem.h"

#include "StatusNotifierItem.h"
#include "TrayIconStatusItem.h"
#include "WindowSystem.h"
#include "core/Log.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QMenu>

namespace creditgauge {
namespace {

const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

// A watcher that does not answer in this time is taken to have no host.
constexpr int answerTimeoutMs = 5000;

} // namespace

SwitchingStatusItem::SwitchingStatusItem(QObject *parent)
    : StatusItem(parent)
    , m_bus(QDBusConnection::sessionBus())
    // Qt embeds tray icons only into X11 trays.
    , m_xembed(WindowSystem::isX11())
{
    const QString service = QLatin1String(StatusNotifierItem::watcherService);
    m_watcher
        = new QDBusServiceWatcher(service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &owner) {
                if (owner.isEmpty())
                    setHost(Host::None);
                else
                    askWatcher();
            });
    // Many watchers say so when a host comes or goes; the property is asked again either way,
    // since another host may still be there.
    for (const char *name : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
        m_bus.connect(service, watcherPath, service, QLatin1String(name), this, SLOT(askWatcher()));
    if (!m_xembed)
        useBackend(true);
    askWatcher();
}

SwitchingStatusItem::~SwitchingStatusItem() = default;

// Asked without waiting: the watcher is another program, and may be slow or stuck.
void SwitchingStatusItem::askWatcher()
{
    const quint64 question = ++m_question;
    if (!m_bus.isConnected()) {
        setHost(Host::None);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(StatusNotifierItem::watcherService), watcherPath,
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QLatin1String(StatusNotifierItem::watcherService)
         << QStringLiteral("IsStatusNotifierHostRegistered");
    auto *reply = new QDBusPendingCallWatcher(m_bus.asyncCall(call, answerTimeoutMs), this);
    connect(reply, &QDBusPendingCallWatcher::finished, this, [this, reply, question] {
        reply->deleteLater();
        if (question != m_question)
            return;
        const QDBusReply<QVariant> answer = *reply;
        setHost(answer.isValid() && answer.value().toBool() ? Host::Registered : Host::None);
    });
}

void SwitchingStatusItem::setHost(Host host)
{
    // Whatever was still asked is out of date now.
    ++m_question;
    m_host = host;
    const bool statusNotifier = !m_xembed || host == Host::Registered;
    if (!m_backend || bool(qobject_cast<StatusNotifierItem *>(m_backend.get())) != statusNotifier)
        useBackend(statusNotifier);
    Q_EMIT hostChanged();
}

// Qt's tray icon decides once per process whether it is an XEmbed icon or a StatusNotifierItem
// of Qt's own, the first time one is made or the tray is asked after, by whether a host is
// registered at that moment. It is made, and asked, only once the watcher has said it has no
// host, so that Qt decides for XEmbed, for good.
void SwitchingStatusItem::useBackend(bool statusNotifier)
{
    qCDebug(log::tray) << (statusNotifier ? "StatusNotifierItem" : "XEmbed tray icon");
    // The old one leaves the tray first: the two never show at once, nor hold the same names.
    m_backend.reset();
    if (statusNotifier)
        m_backend = std::make_unique<StatusNotifierItem>();
    else
        m_backend = std::make_unique<TrayIconStatusItem>();
    connect(m_backend.get(), &StatusItem::clicked, this, &StatusItem::clicked);
    connect(m_backend.get(), &StatusItem::shown, this, &StatusItem::shown);
    if (m_title)
        m_backend->setTitle(m_title->text, m_title->alarm);
    if (m_details)
        m_backend->setDetails(*m_details);
    if (m_menu)
        m_backend->setMenu(m_menu);
    m_backend->setPanelOpen(m_panelOpen);
}

bool SwitchingStatusItem::trayAvailable() const
{
    if (m_host == Host::Registered)
        return true;
    return m_xembed && m_host == Host::None && TrayIconStatusItem::isSystemTrayAvailable();
}

void SwitchingStatusItem::setTitle(const QString &title, bool alarm)
{
    m_title = Title {title, alarm};
    if (m_backend)
        m_backend->setTitle(title, alarm);
}

void SwitchingStatusItem::setDetails(const QStringList &lines)
{
    m_details = lines;
    if (m_backend)
        m_backend->setDetails(lines);
}

void SwitchingStatusItem::setMenu(QMenu *menu)
{
    m_menu = menu;
    if (m_backend)
        m_backend->setMenu(menu);
}

bool SwitchingStatusItem::canPopUpMenu() const
{
    return m_backend ? m_backend->canPopUpMenu() : m_xembed;
}

void SwitchingStatusItem::popUpMenu()
{
    if (m_backend)
        m_backend->popUpMenu();
}

QRect SwitchingStatusItem::anchor() const
{
    return m_backend ? m_backend->anchor() : QRect();
}

void SwitchingStatusItem::setPanelOpen(bool open)
{
    m_panelOpen = open;
    if (m_backend)
        m_backend->setPanelOpen(open);
}

} // namespace creditgauge
