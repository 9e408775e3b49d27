#include "DBusMenuExporter.h"

#include "DBusMenuAdaptor.h"

#include <QAction>
#include <QActionGroup>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QTimer>

namespace creditgauge {
namespace {

// Ids below this are the header's: its lines from 1, its separator last.
constexpr int firstActionId = 100;
constexpr int headerSeparatorId = firstActionId - 1;
constexpr qsizetype longestHeader = headerSeparatorId - 1;

QVariantMap filtered(const QVariantMap &properties, const QStringList &names)
{
    if (names.isEmpty())
        return properties;
    QVariantMap kept;
    for (const QString &name : names) {
        if (const auto it = properties.constFind(name); it != properties.cend())
            kept.insert(name, *it);
    }
    return kept;
}

QString keyName(Qt::Key key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QString(QChar(u'a' + (key - Qt::Key_A)));
    return QKeySequence(key).toString(QKeySequence::PortableText);
}

} // namespace

DBusMenuExporter::DBusMenuExporter(QMenu *menu, QObject *parent)
    : QObject(parent)
    , m_menu(menu)
    , m_nextId(firstActionId)
{
    registerDBusTypes();
    new DBusMenuAdaptor(this);
    if (menu)
        menu->installEventFilter(this);
    m_exported = snapshot();
}

DBusMenuExporter::~DBusMenuExporter() = default;

bool DBusMenuExporter::registerOn(QDBusConnection bus)
{
    return bus.registerObject(QLatin1String(objectPath), this, QDBusConnection::ExportAdaptors);
}

void DBusMenuExporter::setMenu(QMenu *menu)
{
    if (menu == m_menu)
        return;
    m_menu = menu;
    if (menu)
        menu->installEventFilter(this);
    update();
}

void DBusMenuExporter::setHeader(const QStringList &lines)
{
    const QStringList header = lines.first(std::min(lines.size(), longestHeader));
    if (header == m_header)
        return;
    m_header = header;
    update();
}

void DBusMenuExporter::setExportShortcuts(bool exported)
{
    if (exported == m_exportShortcuts)
        return;
    m_exportShortcuts = exported;
    update();
}

QString DBusMenuExporter::textDirection() const
{
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                 : QStringLiteral("ltr");
}

// Qt marks a mnemonic with '&' ("&&" for the sign itself); dbusmenu with '_' ("__").
QString DBusMenuExporter::label(const QString &qtText)
{
    QString text;
    text.reserve(qtText.size());
    for (qsizetype i = 0; i < qtText.size(); ++i) {
        const QChar c = qtText.at(i);
        if (c == u'_') {
            text += QStringLiteral("__");
        } else if (c == u'&') {
            if (i + 1 < qtText.size() && qtText.at(++i) != u'&')
                text += u'_';
            if (i < qtText.size())
                text += qtText.at(i);
        } else {
            text += c;
        }
    }
    return text;
}

DBusMenuShortcut DBusMenuExporter::shortcut(const QAction *action)
{
    DBusMenuShortcut keys;
    const QKeySequence sequence = action->shortcut();
    for (int i = 0; i < sequence.count(); ++i) {
        const QKeyCombination combination = sequence[i];
        QStringList names;
        const Qt::KeyboardModifiers modifiers = combination.keyboardModifiers();
        if (modifiers & Qt::ControlModifier)
            names << QStringLiteral("Control");
        if (modifiers & Qt::AltModifier)
            names << QStringLiteral("Alt");
        if (modifiers & Qt::ShiftModifier)
            names << QStringLiteral("Shift");
        if (modifiers & Qt::MetaModifier)
            names << QStringLiteral("Super");
        names << keyName(combination.key());
        keys << names;
    }
    return keys;
}

DBusMenuExporter::Snapshot DBusMenuExporter::snapshot()
{
    Snapshot nodes;
    Node root {0, {{QStringLiteral("children-display"), QStringLiteral("submenu")}}, {}};
    for (qsizetype i = 0; i < m_header.size(); ++i) {
        const int id = int(i) + 1;
        nodes.insert(id,
                     Node {id,
                           {{QStringLiteral("label"), label(m_header[i])},
                            {QStringLiteral("enabled"), false}},
                           {}});
        root.children << id;
    }
    if (!m_header.isEmpty()) {
        nodes.insert(
            headerSeparatorId,
            Node {headerSeparatorId, {{QStringLiteral("type"), QStringLiteral("separator")}}, {}});
        root.children << headerSeparatorId;
    }
    if (m_menu)
        addMenu(nodes, root, m_menu);
    nodes.insert(0, root);
    return nodes;
}

void DBusMenuExporter::addMenu(Snapshot &nodes, Node &parent, QMenu *menu)
{
    const QList<QAction *> actions = menu->actions();
    for (QAction *action : actions) {
        Node node {idOf(action), {}, {}};
        QVariantMap &p = node.properties;
        if (!action->isVisible())
            p.insert(QStringLiteral("visible"), false);
        if (action->isSeparator()) {
            p.insert(QStringLiteral("type"), QStringLiteral("separator"));
        } else {
            p.insert(QStringLiteral("label"), label(action->text()));
            if (!action->isEnabled())
                p.insert(QStringLiteral("enabled"), false);
            if (action->isCheckable()) {
                const QActionGroup *group = action->actionGroup();
                const bool radio
                    = group && group->exclusionPolicy() != QActionGroup::ExclusionPolicy::None;
                p.insert(QStringLiteral("toggle-type"),
                         radio ? QStringLiteral("radio") : QStringLiteral("checkmark"));
                p.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
            }
            if (m_exportShortcuts && !action->shortcut().isEmpty())
                p.insert(QStringLiteral("shortcut"), QVariant::fromValue(shortcut(action)));
            if (QMenu *submenu = action->menu()) {
                p.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
                submenu->installEventFilter(this);
                addMenu(nodes, node, submenu);
            }
        }
        parent.children << node.id;
        nodes.insert(node.id, node);
    }
}

int DBusMenuExporter::idOf(QAction *action)
{
    if (const auto it = m_ids.constFind(action); it != m_ids.cend())
        return *it;
    const int id = m_nextId++;
    m_ids.insert(action, id);
    m_actions.insert(id, action);
    connect(action, &QObject::destroyed, this, [this, action, id] {
        m_ids.remove(action);
        m_actions.remove(id);
    });
    return id;
}

QAction *DBusMenuExporter::actionOf(int id) const
{
    return m_actions.value(id);
}

QMenu *DBusMenuExporter::menuOf(int id) const
{
    if (id == 0)
        return m_menu;
    QAction *action = actionOf(id);
    return action ? action->menu() : nullptr;
}

DBusMenuLayoutItem DBusMenuExporter::layoutOf(const Node &node, int depth,
                                              const QStringList &names) const
{
    DBusMenuLayoutItem item {node.id, filtered(node.properties, names), {}};
    if (depth == 0)
        return item;
    for (const int child : node.children)
        item.children << layoutOf(m_exported.value(child), depth < 0 ? -1 : depth - 1, names);
    return item;
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                                 DBusMenuLayoutItem &layout) const
{
    layout = layoutOf(m_exported.value(parentId, Node {parentId, {}, {}}), recursionDepth,
                      propertyNames);
    return m_revision;
}

DBusMenuItemList DBusMenuExporter::GetGroupProperties(const QList<int> &ids,
                                                      const QStringList &propertyNames) const
{
    DBusMenuItemList items;
    for (const int id : ids) {
        if (const auto it = m_exported.constFind(id); it != m_exported.cend())
            items << DBusMenuItem {id, filtered(it->properties, propertyNames)};
    }
    return items;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString &name) const
{
    return QDBusVariant(m_exported.value(id).properties.value(name));
}

void DBusMenuExporter::Event(int id, const QString &eventId, const QDBusVariant &, uint)
{
    handleEvent(id, eventId);
}

QList<int> DBusMenuExporter::EventGroup(const DBusMenuEventList &events)
{
    QList<int> unknown;
    for (const DBusMenuEvent &event : events) {
        if (!handleEvent(event.id, event.eventId))
            unknown << event.id;
    }
    return unknown;
}

bool DBusMenuExporter::handleEvent(int id, const QString &eventId)
{
    if (!m_exported.contains(id))
        return false;
    if (eventId == u"clicked") {
        // Later, so that the host has its answer before whatever the action does.
        if (QAction *action = actionOf(id); action && action->isEnabled())
            QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    } else if (eventId == u"opened") {
        AboutToShow(id);
    } else if (eventId == u"closed") {
        if (QMenu *menu = menuOf(id))
            Q_EMIT menu->aboutToHide();
    }
    return true;
}

bool DBusMenuExporter::AboutToShow(int id)
{
    // What the menu's owner changes as it opens (check marks) reaches the host before it draws.
    if (QMenu *menu = menuOf(id))
        Q_EMIT menu->aboutToShow();
    return update();
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors)
{
    QList<int> updates;
    for (const int id : ids) {
        if (!m_exported.contains(id))
            idErrors << id;
        else if (AboutToShow(id))
            updates << id;
    }
    return updates;
}

bool DBusMenuExporter::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
    case QEvent::ActionChanged:
        scheduleUpdate();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void DBusMenuExporter::scheduleUpdate()
{
    if (m_updateScheduled)
        return;
    m_updateScheduled = true;
    // Later, once: a menu being rebuilt changes many actions in a row.
    QTimer::singleShot(0, this, [this] { update(); });
}

bool DBusMenuExporter::update()
{
    m_updateScheduled = false;
    Snapshot now = snapshot();
    bool structureChanged = now.size() != m_exported.size();
    DBusMenuItemList updated;
    DBusMenuItemKeysList removed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const auto before = m_exported.constFind(it.key());
        if (before == m_exported.cend()) {
            structureChanged = true;
            continue;
        }
        structureChanged = structureChanged || before->children != it->children;
        if (before->properties == it->properties)
            continue;
        updated << DBusMenuItem {it.key(), it->properties};
        QStringList gone;
        for (auto p = before->properties.cbegin(); p != before->properties.cend(); ++p) {
            if (!it->properties.contains(p.key()))
                gone << p.key();
        }
        if (!gone.isEmpty())
            removed << DBusMenuItemKeys {it.key(), gone};
    }
    m_exported = std::move(now);
    // Sent with a new layout too: GNOME's AppIndicator extension reads only the items it has
    // not seen from the new layout and keeps what it knew of the others.
    if (!updated.isEmpty())
        Q_EMIT ItemsPropertiesUpdated(updated, removed);
    if (structureChanged)
        Q_EMIT LayoutUpdated(++m_revision, 0);
    return structureChanged;
}

} // namespace creditgauge
