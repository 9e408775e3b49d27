#pragma once

#include "core/Provider.h"
#include "core/Records.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QEvent;
class QLabel;
class QPushButton;
class QWidget;

namespace creditgauge {

class BalanceChart;

// The panel under the tray icon: whose balance, the total, its components, a status line, the
// time of the last query, the last 30 days as a small chart with a forecast line, and three
// buttons. It turns results into texts and colours and passes button presses on; it queries
// nothing itself.
//
// The labels exist from construction, so the show operations work before the view is built;
// what they set appears when the view is first shown.
class BalanceViewController : public QObject
{
    Q_OBJECT
public:
    // Which palette colour a label is drawn in. Secondary and tertiary derive from the window's
    // text colour; red and orange are chosen to stay readable on light and dark palettes.
    enum class ColorRole { Label, Secondary, Tertiary, Red, Orange };
    Q_ENUM(ColorRole)

    explicit BalanceViewController(QObject *parent = nullptr);
    ~BalanceViewController() override;

    // Callbacks for the three buttons; an empty one makes its button do nothing.
    std::function<void()> onRefresh;
    std::function<void()> onChangeKey;
    std::function<void()> onSwitchProvider;
    std::function<void()> onQuit; // no control of the panel calls it

    Provider provider() const { return m_provider; }
    void setProvider(Provider provider);

    void showLoading();
    void showBalance(const Balance &balance, const QDateTime &at);
    void showError(const QString &message);
    void showNoKey();
    // The secret store could not be read, so nothing was asked: `message` says why.
    void showStoreUnavailable(const QString &message);
    // The chart of `samples` up to `now` and a ready-made forecast line below it; each hides
    // while empty. They belong to one provider's balance: showNoKey, showError,
    // showStoreUnavailable and a change of provider clear both, showLoading keeps them.
    void showHistory(const QList<BalanceSample> &samples, const QString &forecastLine,
                     const QDateTime &now);
    // What the user should know beyond the balance (the history or a choice not saved), under
    // the status line; hidden while empty.
    void showNotices(const QStringList &notices);

    // Builds the view on first use. The caller may reparent it (the popover does); the panel
    // keeps track of it and never deletes it twice.
    QWidget *view();
    bool isViewLoaded() const { return !m_view.isNull(); }

    // What the panel shows, for the tray's tooltip and for tests.
    QString titleText() const;
    QString amountText() const;
    QString detailText() const;
    QString statusText() const;
    QString timeText() const;
    QString forecastText() const;
    QString noticeText() const;
    ColorRole statusRole() const { return m_statusRole; }
    // One line per non-blank label, top to bottom.
    QStringList summaryLines() const;
    QString summary() const { return summaryLines().join(QLatin1Char('\n')); }

    // Where a menu opened from the provider button goes: below it, in global coordinates.
    QPoint providerButtonBottomLeft() const;

    // The colour a role has in the given palette.
    static QColor color(ColorRole role, const QPalette &palette);

Q_SIGNALS:
    // Any text of the panel changed.
    void changed();

private Q_SLOTS:
    void refreshTapped();
    void providerTapped();
    void keyTapped();

private:
    // In the order of the summary; the view places the notices under the status.
    enum Label { Title, Amount, Detail, Status, Time, Forecast, Notice, LabelCount };

    bool eventFilter(QObject *watched, QEvent *event) override;
    void loadView();
    // Both return whether anything changed; the show operations emit changed() once.
    bool setText(Label which, const QString &text);
    bool setStatus(const QString &text, ColorRole role);
    bool clearHistory();
    void fitNotice();
    void applyHistory();
    void applyColors();
    void equalizeButtons();
    QLabel *label(Label which) const;

    Provider m_provider;
    ColorRole m_statusRole = ColorRole::Secondary;
    // The texts live here as well as on the labels, so that they stay readable after someone
    // else has deleted the view together with the labels.
    QString m_texts[LabelCount];
    // Owned here until the view is built, then by the view.
    std::unique_ptr<QLabel> m_ownedLabels[LabelCount];
    QPointer<QLabel> m_labels[LabelCount];
    // Kept like the texts: the chart is made with the view and dies with it.
    QList<BalanceSample> m_samples;
    QDateTime m_samplesNow;
    QPointer<BalanceChart> m_chart;
    QPointer<QWidget> m_view;
    QList<QPointer<QPushButton>> m_buttons;
};

} // namespace creditgauge
