#include "Popover.h"

#include "SwayPlacement.h"
#include "WindowSystem.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include <functional>

namespace creditgauge {
namespace {

// Qt leaves popup windows out of the application's accessibility tree (menus announce
// themselves through focus events instead), so a screen reader would find nothing of an open
// popover. The application's node lists the visible popovers among its children.
class ApplicationAccessible : public QAccessibleApplication
{
public:
    int childCount() const override
    {
        return QAccessibleApplication::childCount() + popovers().size();
    }

    QAccessibleInterface *child(int index) const override
    {
        const int own = QAccessibleApplication::childCount();
        if (index < own)
            return QAccessibleApplication::child(index);
        const QList<QObject *> extra = popovers();
        return index - own < extra.size()
            ? QAccessible::queryAccessibleInterface(extra[index - own])
            : nullptr;
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (const int index = QAccessibleApplication::indexOfChild(child); index >= 0)
            return index;
        const int extra = child ? int(popovers().indexOf(child->object())) : -1;
        return extra < 0 ? -1 : QAccessibleApplication::childCount() + extra;
    }

private:
    static QList<QObject *> popovers()
    {
        QList<QObject *> shown;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (qobject_cast<Popover *>(w) && w->isVisible() && w->windowType() == Qt::Popup)
                shown << w;
        }
        return shown;
    }
};

QAccessibleInterface *accessibleFactory(const QString &, QObject *object)
{
    return object && object == qApp ? new ApplicationAccessible : nullptr;
}

// A click on the desktop changes no window's focus, so under Xwayland the popover would stay
// open: a clear window over the screen, below the popover, takes that click instead, as a
// popup's grab does on X11, and closes it.
class OutsideClicks : public QWidget
{
public:
    explicit OutsideClicks(std::function<void(QPoint)> clicked)
        : QWidget(nullptr,
                  Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                      | Qt::WindowDoesNotAcceptFocus)
        , m_clicked(std::move(clicked))
    {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_ShowWithoutActivating);
    }

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        m_clicked(event->globalPosition().toPoint());
    }

private:
    std::function<void(QPoint)> m_clicked;
};

// A click that closed the popover reaches the tray icon within this time.
constexpr qint64 outsideClickWindowMs = 300;

} // namespace

void Popover::exposeToAccessibility()
{
    static const bool exposed = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    Q_UNUSED(exposed);
}

Popover::Popover(QWidget *content)
{
    exposeToAccessibility();
    // Qt::Popup needs a transient parent on Wayland, and a tray application has none; under
    // Xwayland its grab does not reach beyond X11's windows. There the popover is a frameless
    // tool window that closes when it loses the focus instead.
    setWindowFlags(WindowSystem::isWayland() || WindowSystem::isXwayland()
                       ? Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                       : Qt::Popup | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    setWindowTitle(QStringLiteral("CreditGauge"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1); // room for the border
    setAutoFillBackground(true);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(content);
}

Popover::~Popover()
{
    delete m_outside;
}

QPoint Popover::placement(const QRect &anchor, const QSize &size, const QRect &available,
                          const QPoint &cursor)
{
    const QRect at = anchor.isEmpty() ? QRect(cursor, QSize(1, 1)) : anchor;
    int x = at.center().x() - size.width() / 2;
    int y = at.bottom() + 1;
    if (y + size.height() - 1 > available.bottom() && at.top() - size.height() >= available.top())
        y = at.top() - size.height(); // tray at the bottom of the screen: open upwards
    x = qBound(available.left(), x, qMax(available.left(), available.right() - size.width() + 1));
    y = qBound(available.top(), y, qMax(available.top(), available.bottom() - size.height() + 1));
    return {x, y};
}

void Popover::showAt(const QRect &anchor)
{
    m_anchor = anchor.isEmpty() ? QRect(QCursor::pos(), QSize(1, 1)) : anchor;
    const QPoint at = placementFor(m_anchor);
    if (WindowSystem::isXwayland()) {
        if (!m_outside)
            m_outside = new OutsideClicks([this](QPoint click) { closedByClickAt(click); });
        QScreen *screen = QGuiApplication::screenAt(m_anchor.center());
        m_outside->setGeometry(screen ? screen->geometry() : QRect(at, size()));
        m_outside->show();
    }
    move(at);
    show();
    raise();
    activateWindow();
    // Where the window cannot place itself, the compositor may do it for us.
    SwayPlacement::placeBelowPointer(this);
}

void Popover::reposition()
{
    if (isVisible())
        move(placementFor(m_anchor));
}

// The size the content has now: a layout left alone while the popover was hidden still holds
// the size it had before, so it is brought up to date first.
QPoint Popover::placementFor(const QRect &anchor)
{
    ensurePolished();
    if (layout())
        layout()->activate();
    adjustSize();
    QScreen *screen = QGuiApplication::screenAt(anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), size());
    return placement(anchor, size(), available, anchor.topLeft());
}

void Popover::performClose()
{
    m_closingOnPurpose = true;
    hide();
    m_closingOnPurpose = false;
}

bool Popover::justClosedByClickOn(const QRect &item) const
{
    if (!m_outsideClose.isValid() || m_outsideClose.elapsed() >= outsideClickWindowMs)
        return false;
    // Trays report the item's place, or only the point of the click: a few pixels either way.
    return !m_outsideClick || item.isEmpty()
        || item.adjusted(-4, -4, 4, 4).contains(*m_outsideClick);
}

// A popup sees the press that closes it, outside its own area.
void Popover::mousePressEvent(QMouseEvent *event)
{
    if (!rect().contains(event->position().toPoint()))
        m_outsideClick = event->globalPosition().toPoint();
    QWidget::mousePressEvent(event);
}

void Popover::closedByClickAt(const QPoint &global)
{
    m_outsideClick = global;
    hide();
}

void Popover::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        performClose();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool Popover::event(QEvent *event)
{
    if (event->type() == QEvent::WindowDeactivate
        && (WindowSystem::isWayland() || WindowSystem::isXwayland()) && isVisible())
        hide(); // counts as a click elsewhere
    return QWidget::event(event);
}

void Popover::paintEvent(QPaintEvent *)
{
    // Frameless, so it draws its own edge; without one it melts into a window behind it.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void Popover::showEvent(QShowEvent *event)
{
    m_outsideClick.reset();
    QWidget::showEvent(event);
    Q_EMIT shownChanged(true);
}

void Popover::hideEvent(QHideEvent *event)
{
    if (m_outside)
        m_outside->hide();
    if (!m_closingOnPurpose)
        m_outsideClose.start();
    QWidget::hideEvent(event);
    Q_EMIT shownChanged(false);
}

} // namespace creditgauge
