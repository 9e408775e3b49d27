#pragma once

#include "BalanceView.h"
#include "core/Account.h"
#include "core/Records.h"
#include "refresh/RefreshState.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

namespace creditgauge {

// The panel under the tray icon: whose balance, the total, its components, a status line, the
// time of the last query, the last 30 days as a small chart with a forecast line, and three
// buttons. It shows the refresh cycle's states in the words of StateText and passes button
// presses on; it queries nothing itself.
//
// The texts are kept here, so that they are set before the view is built and stay readable
// after someone else has deleted it; a view built later shows them.
class BalanceViewController : public QObject
{
    Q_OBJECT
public:
    using ColorRole = BalanceView::ColorRole;

    explicit BalanceViewController(QObject *parent = nullptr);
    ~BalanceViewController() override;

    // Callbacks for the three buttons; an empty one makes its button do nothing.
    std::function<void()> onRefresh;
    std::function<void()> onChangeKey;
    std::function<void()> onSwitchProvider;
    // A line of the list of other accounts was clicked: the account's id.
    std::function<void(const QString &)> onSelectAccount;

    const Account &account() const { return m_account; }
    // A change of account clears the chart and the forecast: they belong to one account.
    void setAccount(const Account &account);

    // Everything the state says. A balance brings its chart and forecast, which hide while
    // empty; any state without a balance clears them. Before the first answer (Starting) only
    // the provider and the notices change, so that a loading status stays.
    void show(const RefreshState &state);
    // Until the next state: the status says the balance is being asked for.
    void showLoading();
    // The accounts watched beside the selected one, listed below the main block.
    void showOthers(const QList<RefreshState> &others);

    // Builds the view on first use. The caller may reparent it (the popover does); the panel
    // keeps track of it and never deletes it twice.
    QWidget *view();

    // What the panel shows, for the tray's tooltip and for tests.
    QString titleText() const { return m_texts[BalanceView::Title]; }
    QString amountText() const { return m_texts[BalanceView::Amount]; }
    QString statusText() const { return m_texts[BalanceView::Status]; }
    QString noticeText() const { return m_texts[BalanceView::Notice]; }
    // One line per non-blank text, top to bottom, then one per other account.
    QStringList summaryLines() const;
    // The other accounts listed, by id, in their order.
    const QStringList &otherAccounts() const { return m_otherAccounts; }

    // Where a menu opened from the provider button goes: below it, in global coordinates.
    QPoint providerButtonBottomLeft() const;

Q_SIGNALS:
    // Any text of the panel changed.
    void changed();

private:
    using Label = BalanceView::Label;

    // All return whether anything changed; the public operations emit changed() once.
    bool applyAccount(const Account &account);
    bool setText(Label which, const QString &text);
    bool setStatus(const QString &text, ColorRole role);
    bool setHistory(const QList<BalanceSample> &samples, const QDateTime &now,
                    const QString &forecast, double lowMark = lowBalanceThreshold);

    Account m_account;
    ColorRole m_statusRole = ColorRole::Secondary;
    QString m_texts[BalanceView::LabelCount];
    QList<BalanceSample> m_samples;
    QDateTime m_samplesNow;
    double m_lowMark = lowBalanceThreshold;
    QStringList m_otherAccounts;
    QList<BalanceView::OtherLine> m_otherLines;
    QStringList m_otherSummary;
    QPointer<BalanceView> m_view;
};

} // namespace creditgauge
