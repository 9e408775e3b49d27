#pragma once

#include "DBusTypes.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>

class QAction;
class QMenu;

namespace creditgauge {

// Exports a QMenu as com.canonical.dbusmenu, so that a StatusNotifierHost draws it itself.
// The layout is complete from the start, before any AboutToShow. What hosts read is the layout
// as last exported; update() exports it anew and announces what changed with LayoutUpdated or
// ItemsPropertiesUpdated. It runs when the menu, the header or the shortcuts are set, soon
// after the menu's actions change (added, removed, text, check state), and when a host opens
// the menu. Header lines (disabled items above a separator) can precede the menu's own items.
class DBusMenuExporter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    static constexpr auto objectPath = "/MenuBar";

    explicit DBusMenuExporter(QMenu *menu, QObject *parent = nullptr);
    ~DBusMenuExporter() override;

    bool registerOn(QDBusConnection bus);
    void setMenu(QMenu *menu);
    void setHeader(const QStringList &lines);
    // Whether items carry their shortcuts; hosts that cannot show them complain about them.
    void setExportShortcuts(bool exported);

    uint version() const { return 3; }
    QString textDirection() const;
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

    // A menu item's properties as dbusmenu has them, for tests and for the export.
    static QString label(const QString &qtText);
    static DBusMenuShortcut shortcut(const QAction *action);

public Q_SLOTS:
    // The interface, as hosts call it.
    uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                   creditgauge::DBusMenuLayoutItem &layout) const;
    creditgauge::DBusMenuItemList GetGroupProperties(const QList<int> &ids,
                                                     const QStringList &propertyNames) const;
    QDBusVariant GetProperty(int id, const QString &name) const;
    void Event(int id, const QString &eventId, const QDBusVariant &data, uint timestamp);
    QList<int> EventGroup(const creditgauge::DBusMenuEventList &events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors);

Q_SIGNALS:
    void ItemsPropertiesUpdated(const creditgauge::DBusMenuItemList &updatedProps,
                                const creditgauge::DBusMenuItemKeysList &removedProps);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Node
    {
        int id = 0;
        QVariantMap properties;
        QList<int> children;
    };
    using Snapshot = QHash<int, Node>;

    Snapshot snapshot();
    void addMenu(Snapshot &nodes, Node &parent, QMenu *menu);
    int idOf(QAction *action);
    QAction *actionOf(int id) const;
    QMenu *menuOf(int id) const;
    DBusMenuLayoutItem layoutOf(const Node &node, int depth, const QStringList &names) const;
    // Exports the menu as it is now and announces what changed since the last export; true
    // when the structure did.
    bool update();
    void scheduleUpdate();
    bool handleEvent(int id, const QString &eventId);

    QPointer<QMenu> m_menu;
    QStringList m_header;
    QHash<QAction *, int> m_ids;
    QHash<int, QPointer<QAction>> m_actions;
    int m_nextId;
    uint m_revision = 1;
    Snapshot m_exported;
    bool m_updateScheduled = false;
    bool m_exportShortcuts = true;
};

} // namespace creditgauge
