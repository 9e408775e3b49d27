#pragma once

#include "core/Records.h"
#include "refresh/RefreshState.h"

#include <QDateTime>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QWidget>

namespace creditgauge {

// The balance over the last 30 days as a small step line: a balance holds until the next
// sample, so a top-up is an upward step and spending a run of downward ones. The y axis starts
// at zero (lower for a negative balance); the low-balance threshold shows as a faint dashed
// line when it lies in range. Drawn in the widget's highlight colour.
class BalanceChart : public QWidget
{
    Q_OBJECT
public:
    static constexpr int days = RefreshState::recentDays;
    // The panel's width within its margins, which the chart spans.
    static constexpr int contentWidth = 268 - 16 - 16;

    explicit BalanceChart(QWidget *parent = nullptr);

    // Samples in any order. Only the newest sample's series counts (Forecast::series); of its
    // samples older than the window only the newest is kept, and starts the line at the left
    // edge.
    // The dashed line stands at `lowMark`, where the balance turns low.
    void setSamples(const QList<BalanceSample> &samples, const QDateTime &now,
                    double lowMark = lowBalanceThreshold);
    // At least two usable samples; with fewer there is no line worth showing.
    bool hasData() const { return m_usable.size() >= 2; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The step line through `area`: the first sample's point, then for each further sample a
    // horizontal point at its time and the vertical step to its value, and finally the last
    // value carried on to `now` at the right edge. Empty without data.
    static QList<QPointF> stepPoints(const QList<BalanceSample> &samples, const QDateTime &now,
                                     const QRectF &area);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QList<BalanceSample> m_usable; // one series, the first at or after the window
    QDateTime m_now;
    double m_lowMark = lowBalanceThreshold;
};

} // namespace creditgauge
