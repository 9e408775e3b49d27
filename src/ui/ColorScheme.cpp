#include "ColorScheme.h"

#include "core/Log.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStyle>

#include <utility>

namespace creditgauge {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

// The portal's values of org.freedesktop.appearance color-scheme.
enum class Preference : uint { None = 0, Dark = 1, Light = 2 };

// Breeze Dark's colours, which most dark desktops come close to; the selection a deeper blue,
// so that white text on it stays readable.
QPalette darkPalette()
{
    const QColor window(0x31, 0x36, 0x3b), base(0x23, 0x26, 0x29), text(0xef, 0xf0, 0xf1);
    const QColor disabledText(0x7f, 0x8c, 0x8d);
    QPalette p(text, window, window.lighter(130), window.darker(130), window.darker(115), text,
               Qt::white, base, window);
    p.setColor(QPalette::AlternateBase, window.darker(110));
    p.setColor(QPalette::ToolTipBase, window);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, disabledText);
    p.setColor(QPalette::Highlight, QColor(0x1f, 0x6f, 0xa8));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x3d, 0xae, 0xe9));
    p.setColor(QPalette::LinkVisited, QColor(0xb0, 0x7c, 0xd8));
    for (const QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, disabledText);
    }
    return p;
}

// The palette for `preference` on top of `platform`, the theme's own: itself when it already
// matches (or nothing is preferred), a dark or light one in its place otherwise.
QPalette paletteFor(Preference preference, const QPalette &platform)
{
    if (preference == Preference::Dark && !ColorScheme::isDark(platform))
        return darkPalette();
    if (preference == Preference::Light && ColorScheme::isDark(platform))
        return QApplication::style()->standardPalette();
    return platform;
}

} // namespace

ColorScheme::ColorScheme(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    // The slot's argument types are looked up by name, which Qt knows only once registered.
    qRegisterMetaType<QDBusVariant>();
    bus.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"),
                this, SLOT(settingChanged(QString, QString, QDBusVariant)));
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface,
                                                       QStringLiteral("Read"));
    read << appearance << colorSchemeKey;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *watcher;
        if (reply.isError()) {
            qCDebug(log::tray).noquote()
                << "no colour scheme from a desktop portal:" << reply.error().message();
            return;
        }
        apply(reply.value().variant());
    });
}

ColorScheme::~ColorScheme() = default;

bool ColorScheme::isDark(const QPalette &palette)
{
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

void ColorScheme::settingChanged(const QString &group, const QString &key,
                                 const QDBusVariant &value)
{
    if (group == appearance && key == colorSchemeKey)
        apply(value.variant());
}

void ColorScheme::apply(const QVariant &value)
{
    // Read() wraps the value in one variant more than SettingChanged does.
    QVariant inner = value;
    while (inner.canConvert<QDBusVariant>() && inner.userType() == qMetaTypeId<QDBusVariant>())
        inner = inner.value<QDBusVariant>().variant();
    bool ok = false;
    const uint number = inner.toUInt(&ok);
    const Preference preference = ok && number <= 2 ? Preference(number) : Preference::None;
    qCDebug(log::tray) << "desktop colour scheme:" << number;

    // The platform's palette, without what an earlier preference put over it.
    if (std::exchange(m_overridden, false))
        QApplication::setPalette(QPalette());
    const QPalette platform = QApplication::palette();
    const QPalette wanted = paletteFor(preference, platform);
    if (wanted != platform) {
        QApplication::setPalette(wanted);
        m_overridden = true;
    }
    Q_EMIT applied();
}

} // namespace creditgauge
