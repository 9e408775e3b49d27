#include "BalanceChart.h"

#include "core/Format.h"
#include "history/Forecast.h"
#include "ui/BalanceView.h"

#include <QAccessibleWidget>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <optional>

namespace creditgauge {
namespace {

constexpr int chartHeight = 56;
// Above the highest value, as a share of the range, so the top of the line is not cut off.
constexpr double headroom = 0.15;

QDateTime windowStart(const QDateTime &now)
{
    return now.addDays(-BalanceChart::days);
}

// One series (see Forecast::series); the newest sample before the window moved to its start,
// everything older dropped.
QList<BalanceSample> usableSamples(const QList<BalanceSample> &samples, const QDateTime &now)
{
    const QList<BalanceSample> sorted = Forecast::series(samples);
    if (sorted.isEmpty() || !now.isValid())
        return {};

    const QDateTime start = windowStart(now);
    QList<BalanceSample> usable;
    usable.reserve(sorted.size());
    std::optional<BalanceSample> before;
    for (const BalanceSample &s : std::as_const(sorted)) {
        if (s.at < start)
            before = s;
        else
            usable << s;
    }
    if (before && (usable.isEmpty() || usable.first().at > start)) {
        before->at = start;
        usable.prepend(*before);
    }
    return usable;
}

struct Scale
{
    double low = 0;
    double high = 1;
};

Scale scaleOf(const QList<BalanceSample> &usable)
{
    double low = 0, high = 0;
    for (const BalanceSample &s : usable) {
        low = std::min(low, s.balance.total);
        high = std::max(high, s.balance.total);
    }
    if (high - low <= 0)
        high = low + 1; // nothing but zeros: the line lies on the bottom edge
    return {low, high + (high - low) * headroom};
}

double yOf(double value, const Scale &scale, const QRectF &area)
{
    return area.bottom() - (value - scale.low) / (scale.high - scale.low) * area.height();
}

// Milliseconds since the epoch to x; QDateTime arithmetic per sample would dominate a paint.
struct Timeline
{
    qint64 start;
    qint64 span;

    explicit Timeline(const QDateTime &now)
        : start(windowStart(now).toMSecsSinceEpoch())
        , span(std::max<qint64>(1, now.toMSecsSinceEpoch() - start))
    { }

    double x(const QDateTime &at, const QRectF &area) const
    {
        const double share
            = std::clamp(double(at.toMSecsSinceEpoch() - start) / double(span), 0.0, 1.0);
        return area.left() + share * area.width();
    }
};

QList<QPointF> pointsOf(const QList<BalanceSample> &usable, const QDateTime &now,
                        const QRectF &area)
{
    if (usable.size() < 2)
        return {};
    const Scale scale = scaleOf(usable);
    const Timeline timeline(now);
    QList<QPointF> points;
    points.reserve(2 * usable.size() + 1);
    double value = usable.first().balance.total;
    points << QPointF(timeline.x(usable.first().at, area), yOf(value, scale, area));
    for (qsizetype i = 1; i < usable.size(); ++i) {
        const double next = usable[i].balance.total;
        if (next == value)
            continue; // no step, the horizontal run goes on
        const double x = timeline.x(usable[i].at, area);
        points << QPointF(x, yOf(value, scale, area)) << QPointF(x, yOf(next, scale, area));
        value = next;
    }
    points << QPointF(area.right(), yOf(value, scale, area));
    return points;
}

QString descriptionOf(const QList<BalanceSample> &usable)
{
    if (usable.size() < 2)
        return {};
    double low = usable.first().balance.total, high = low;
    int topUps = 0;
    for (qsizetype i = 0; i < usable.size(); ++i) {
        const double v = usable[i].balance.total;
        low = std::min(low, v);
        high = std::max(high, v);
        if (i > 0 && v > usable[i - 1].balance.total)
            ++topUps;
    }
    const QString currency = usable.last().balance.currency;
    const auto money = [&currency](double v) {
        return Format::amount(v, currency, true);
    };
    const QString since = Format::locale().toString(usable.first().at.toLocalTime().date(),
                                                    QStringLiteral("d. MMMM"));
    QString topUpText = QStringLiteral("keine Aufladung");
    if (topUps == 1)
        topUpText = QStringLiteral("1 Aufladung");
    else if (topUps > 1)
        topUpText = QString::number(topUps) + QStringLiteral(" Aufladungen");
    return QStringLiteral("Guthaben seit ") + since + QStringLiteral(": h\u00f6chster Stand ")
        + money(high) + QStringLiteral(", tiefster ") + money(low) + QStringLiteral(", jetzt ")
        + money(usable.last().balance.total) + QStringLiteral(", ") + topUpText + QLatin1Char('.');
}

// Screen readers announce the chart as a chart rather than as an anonymous client area.
QAccessibleInterface *accessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String(BalanceChart::staticMetaObject.className())
        && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Chart);
    return nullptr;
}

// Moves a coordinate onto the device pixel grid so that a line `widthPx` device pixels wide
// covers whole pixels: centred on a pixel for odd widths, on a pixel edge for even ones.
double snap(double v, qreal dpr, int widthPx)
{
    const double offset = widthPx % 2 ? 0.5 : 0.0;
    return (std::floor(v * dpr - offset + 0.5) + offset) / dpr;
}

} // namespace

BalanceChart::BalanceChart(QWidget *parent)
    : QWidget(parent)
{
    setFixedHeight(chartHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
    static const bool accessible = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    Q_UNUSED(accessible);
    setAccessibleName(QStringLiteral("Verlauf der letzten %1 Tage").arg(days));
}

void BalanceChart::setSamples(const QList<BalanceSample> &samples, const QDateTime &now,
                              double lowMark)
{
    m_usable = usableSamples(samples, now);
    m_now = now;
    m_lowMark = lowMark;
    setAccessibleDescription(descriptionOf(m_usable));
    update();
}

QSize BalanceChart::sizeHint() const
{
    return {contentWidth, chartHeight};
}

QSize BalanceChart::minimumSizeHint() const
{
    return {60, chartHeight};
}

QList<QPointF> BalanceChart::stepPoints(const QList<BalanceSample> &samples, const QDateTime &now,
                                        const QRectF &area)
{
    return pointsOf(usableSamples(samples, now), now, area);
}

void BalanceChart::paintEvent(QPaintEvent *)
{
    if (!hasData())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The scale of whatever is painted on: the screen's, or an image's when rendered into one.
    const qreal scale = painter.deviceTransform().m11();
    const qreal dpr = scale > 0 ? scale : devicePixelRatioF();
    const int lineWidthPx = std::max(1, int(std::lround(1.5 * dpr)));
    const qreal lineWidth = lineWidthPx / dpr;
    // Inset by half the line, so the line at zero is not cut in half by the bottom edge.
    const QRectF area
        = QRectF(rect()).adjusted(lineWidth / 2, lineWidth / 2, -lineWidth / 2, -lineWidth / 2);
    const QList<QPointF> raw = pointsOf(m_usable, m_now, area);

    // Every segment is horizontal or vertical, so on the pixel grid the line stays sharp. Of
    // the many samples a month brings, those that land on the same pixel are drawn once.
    QPolygonF line;
    line.reserve(raw.size());
    for (const QPointF &p : raw) {
        const QPointF snapped(snap(p.x(), dpr, lineWidthPx), snap(p.y(), dpr, lineWidthPx));
        if (line.isEmpty() || line.last() != snapped)
            line << snapped;
    }

    const QPalette pal = palette();
    // The active group's colour, so the line does not turn grey whenever the panel loses focus.
    const QColor ink = pal.color(QPalette::Active, QPalette::Highlight);

    const Scale range = scaleOf(m_usable);
    if (m_lowMark > range.low && m_lowMark < range.high) {
        const int widthPx = std::max(1, int(std::lround(dpr)));
        const double y = snap(yOf(m_lowMark, range, area), dpr, widthPx);
        QColor red = BalanceView::color(BalanceView::ColorRole::Red, pal);
        red.setAlphaF(0.7f);
        QPen dashed(red, widthPx / dpr, Qt::CustomDashLine, Qt::FlatCap);
        dashed.setDashPattern({3, 3});
        painter.setPen(dashed);
        painter.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
    }

    // A faint wash under the line gives it body at this size without another colour.
    QPolygonF under = line;
    const double bottom = snap(yOf(std::max(range.low, 0.0), range, area), dpr, lineWidthPx);
    under << QPointF(line.last().x(), bottom) << QPointF(line.first().x(), bottom);
    QColor wash = ink;
    wash.setAlphaF(0.12f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(wash);
    painter.drawPolygon(under);

    painter.setPen(QPen(ink, lineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(line);
}

} // namespace creditgauge
