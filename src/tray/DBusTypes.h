#pragma once

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The structured values of the StatusNotifierItem and dbusmenu interfaces, with their D-Bus
// marshalling. registerDBusTypes() makes them known to QtDBus; call it before the first use.
namespace creditgauge {

// (iiay): one icon, its pixels ARGB32 in network byte order.
struct DBusImage
{
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using DBusImageList = QList<DBusImage>;

// (sa(iiay)ss): an icon name, icons, the title and the text of a tooltip.
struct DBusToolTip
{
    QString iconName;
    DBusImageList icons;
    QString title;
    QString text;
};

// (ia{sv}av): a menu item and, nested in variants, its children.
struct DBusMenuLayoutItem
{
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayoutItem> children;
};

// (ia{sv}): a menu item's properties.
struct DBusMenuItem
{
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;

// (ias): the names of properties an item no longer has.
struct DBusMenuItemKeys
{
    int id = 0;
    QStringList names;
};
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;

// (isvu): an event on a menu item ("clicked", "opened", "closed").
struct DBusMenuEvent
{
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

// aas: a menu item's shortcut, each key combination as its key names ("Control", "r").
using DBusMenuShortcut = QList<QStringList>;

void registerDBusTypes();

QDBusArgument &operator<<(QDBusArgument &argument, const DBusImage &image);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusImage &image);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusToolTip &toolTip);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusToolTip &toolTip);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuLayoutItem &item);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuLayoutItem &item);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuItem &item);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuItem &item);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuItemKeys &keys);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuItemKeys &keys);
QDBusArgument &operator<<(QDBusArgument &argument, const DBusMenuEvent &event);
const QDBusArgument &operator>>(const QDBusArgument &argument, DBusMenuEvent &event);

} // namespace creditgauge

Q_DECLARE_METATYPE(creditgauge::DBusImage)
Q_DECLARE_METATYPE(creditgauge::DBusToolTip)
Q_DECLARE_METATYPE(creditgauge::DBusMenuLayoutItem)
Q_DECLARE_METATYPE(creditgauge::DBusMenuItem)
Q_DECLARE_METATYPE(creditgauge::DBusMenuItemKeys)
Q_DECLARE_METATYPE(creditgauge::DBusMenuEvent)
