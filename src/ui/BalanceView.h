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

    // A provider watched beside the selected one: a line of the list below the main block.
    struct OtherLine
    {
        QString name;
        QString amount;
        QString note;
        bool alarm = false;
    };

    explicit BalanceView(QWidget *parent = nullptr);

    // The forecast and the notices hide while empty.
    void setText(Label which, const QString &text);
    void setStatusRole(ColorRole role);
    // The chart hides while it has too little to draw.
    void setHistory(const QList<BalanceSample> &samples, const QDateTime &now,
                    double lowMark = lowBalanceThreshold);
    // The list hides while empty.
    void setOthers(const QList<OtherLine> &lines);
    // Where a menu opened from the provider button goes: below it, in global coordinates.
    QPoint providerButtonBottomLeft() const;

    // The colour a role has in the given palette.
    static QColor color(ColorRole role, const QPalette &palette);

Q_SIGNALS:
    void refreshClicked();
    void providerClicked();
    void keyClicked();
    // The line at `index` of the last setOthers() was clicked.
    void otherClicked(int index);

protected:
    bool event(QEvent *event) override;

private:
    void applyColors();
    void equalizeButtons();
    void fitNotice();
    QPushButton *makeOtherLine(int index);
    void paintOtherLine(int index);

    std::array<QLabel *, LabelCount> m_labels {};
    QWidget *m_others = nullptr;
    QList<QPushButton *> m_otherLines;
    QList<OtherLine> m_otherTexts;
    BalanceChart *m_chart = nullptr;
    QList<QPushButton *> m_buttons;
    ColorRole m_statusRole = ColorRole::Secondary;
};

} // namespace creditgauge
