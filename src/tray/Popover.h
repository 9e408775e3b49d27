#pragma once

#include <QElapsedTimer>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QWidget>

#include <optional>

namespace creditgauge {

// The frameless window that shows the panel attached below the tray icon. It closes when the
// user clicks elsewhere or presses Escape.
class Popover : public QWidget
{
    Q_OBJECT
public:
    explicit Popover(QWidget *content);
    ~Popover() override;

    // Lists open popovers among the application's accessible children, which Qt leaves out
    // for popups. Must run before a screen reader first asks for the application, at start.
    static void exposeToAccessibility();

    bool isShown() const { return isVisible(); }
    // Opens attached below `anchor` (global coordinates), above it when there is no room
    // below; at the pointer when the tray gives no geometry. Always inside the screen.
    void showAt(const QRect &anchor);
    // Places the open popover again for its current size, below the same anchor.
    void reposition();
    void performClose();

    // True for a short moment after the popover closed because the user clicked outside it,
    // on `item` (global coordinates) where the click's position is known. That click was on the
    // tray item itself, whose own click handler must then not open the popover again.
    bool justClosedByClickOn(const QRect &item) const;

    // Where a window of `size` goes for `anchor`, inside `available`; `cursor` stands in for
    // an empty anchor.
    static QPoint placement(const QRect &anchor, const QSize &size, const QRect &available,
                            const QPoint &cursor);

Q_SIGNALS:
    void shownChanged(bool shown);

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    bool event(QEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QPoint placementFor(const QRect &anchor);
    void closedByClickAt(const QPoint &global);

    // Under Xwayland: the clear window that takes a click outside the popover.
    QWidget *m_outside = nullptr;
    bool m_closingOnPurpose = false;
    QRect m_anchor;
    QElapsedTimer m_outsideClose;
    std::optional<QPoint> m_outsideClick;
};

} // namespace creditgauge
