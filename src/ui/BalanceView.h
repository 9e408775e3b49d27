#pragma once

#include "core/Records.h"

#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <array>

class QLabel;
class QPushButton;

namespace creditgauge {

class BalanceChart;

// The panel's widget: its labels in their fonts and colours, the chart and the three buttons,
// laid out at the width of the chart. It shows what it is given and reports the buttons;
// BalanceViewController decides what it says.
class BalanceView : public QWidget
{
    Q_OBJECT
public:
    // Which palette colour a label is drawn in. Secondary and tertiary derive from the window's
    // text colour; red and orange are chosen to stay readable on light and dark palettes.
    enum class ColorRole { Label, Secondary, Tertiary, Red, Orange };
    Q_ENUM(ColorRole)
    // Top to bottom but for the notices, which stand under the status.
    enum Label { Title, Amount, Detail, Status, Time, Forecast, Notice, LabelCount };

    explicit BalanceView(QWidget *parent = nullptr);

    // The forecast and the notices hide while empty.
    void setText(Label which, const QString &text);
    void setStatusRole(ColorRole role);
    // The chart hides while it has too little to draw.
    void setHistory(const QList<BalanceSample> &samples, const QDateTime &now);
    // Where a menu opened from the provider button goes: below it, in global coordinates.
    QPoint providerButtonBottomLeft() const;

    // The colour a role has in the given palette.
    static QColor color(ColorRole role, const QPalette &palette);

Q_SIGNALS:
    void refreshClicked();
    void providerClicked();
    void keyClicked();

protected:
    bool event(QEvent *event) override;

private:
    void applyColors();
    void equalizeButtons();
    void fitNotice();

    std::array<QLabel *, LabelCount> m_labels {};
    BalanceChart *m_chart = nullptr;
    QList<QPushButton *> m_buttons;
    ColorRole m_statusRole = ColorRole::Secondary;
};

} // namespace creditgauge
