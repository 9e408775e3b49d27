#include "BalanceViewController.h"

#include "core/Format.h"
#include "refresh/StateText.h"
#include "store/Settings.h"

namespace creditgauge {

namespace {

// An empty line would collapse; a blank one keeps its height, so the panel does not jump.
QString orBlank(const QString &text)
{
    return text.isEmpty() ? QStringLiteral(" ") : text;
}

BalanceView::ColorRole statusRole(const RefreshState &state)
{
    using Role = BalanceView::ColorRole;
    if (!state.alarm())
        return Role::Secondary;
    // Nothing was asked: something for the user to set right rather than a failure.
    const bool unasked = state.kind == RefreshState::Kind::NoKey
        || state.kind == RefreshState::Kind::StoreUnavailable;
    return unasked ? Role::Orange : Role::Red;
}

} // namespace

BalanceViewController::BalanceViewController(QObject *parent)
    : QObject(parent)
    , m_account(Settings::selectedAccount())
{
    const StateText::Texts texts = StateText::texts(RefreshState::of(m_account));
    m_texts[Label::Title] = texts.title;
    m_texts[Label::Amount] = texts.amount;
    m_texts[Label::Detail] = orBlank(texts.details);
    m_texts[Label::Status] = orBlank(texts.status);
    m_texts[Label::Time] = texts.time;
}

BalanceViewController::~BalanceViewController()
{
    // A view nobody took over is ours alone; one placed in another widget belongs to that
    // widget.
    if (m_view && !m_view->parent())
        delete m_view.data();
}

void BalanceViewController::setAccount(const Account &account)
{
    if (applyAccount(account))
        Q_EMIT changed();
}

void BalanceViewController::show(const RefreshState &state)
{
    const StateText::Texts texts = StateText::texts(state);
    bool any = applyAccount(state.account());
    if (state.kind != RefreshState::Kind::Starting) {
        any = setText(Label::Amount, texts.amount) || any;
        any = setText(Label::Detail, orBlank(texts.details)) || any;
        any = setStatus(orBlank(texts.status), statusRole(state)) || any;
        any = setText(Label::Time, texts.time) || any;
        any = (state.kind == RefreshState::Kind::Balance
                   ? setHistory(state.recent, state.at.toUTC(), texts.forecast, state.lowMark)
                   : setHistory({}, {}, {}))
            || any;
    }
    any = setText(Label::Notice, texts.notices.join(QLatin1Char('\n'))) || any;
    if (any)
        Q_EMIT changed();
}

void BalanceViewController::showLoading()
{
    if (setStatus(QStringLiteral("Lade \u2026"), ColorRole::Secondary))
        Q_EMIT changed();
}

void BalanceViewController::showOthers(const QList<RefreshState> &others)
{
    QStringList accounts;
    QList<BalanceView::OtherLine> lines;
    QStringList summary;
    for (const RefreshState &state : others) {
        const StateText::Overview line = StateText::overview(state);
        accounts << state.account().id;
        lines << BalanceView::OtherLine {line.name, line.amount, line.note, line.alarm};
        summary << StateText::overviewLine(state);
    }
    if (summary == m_otherSummary && accounts == m_otherAccounts)
        return;
    m_otherAccounts = accounts;
    m_otherLines = lines;
    m_otherSummary = summary;
    if (m_view)
        m_view->setOthers(lines);
    Q_EMIT changed();
}

QWidget *BalanceViewController::view()
{
    if (m_view)
        return m_view;
    m_view = new BalanceView;
    for (int i = 0; i < BalanceView::LabelCount; ++i)
        m_view->setText(Label(i), m_texts[i]);
    m_view->setStatusRole(m_statusRole);
    m_view->setHistory(m_samples, m_samplesNow, m_lowMark);
    m_view->setOthers(m_otherLines);
    // A copy of the callback, so that one which replaces itself or deletes the panel stays
    // valid.
    const auto forward = [](const std::function<void()> &callback) {
        if (const auto copy = callback)
            copy();
    };
    connect(m_view, &BalanceView::refreshClicked, this, [this, forward] { forward(onRefresh); });
    connect(m_view, &BalanceView::providerClicked, this,
            [this, forward] { forward(onSwitchProvider); });
    connect(m_view, &BalanceView::keyClicked, this, [this, forward] { forward(onChangeKey); });
    connect(m_view, &BalanceView::otherClicked, this, [this](int index) {
        if (const auto select = onSelectAccount; select && index < m_otherAccounts.size())
            select(m_otherAccounts[index]);
    });
    return m_view;
}

QStringList BalanceViewController::summaryLines() const
{
    QStringList lines;
    for (const QString &text : m_texts) {
        if (!text.trimmed().isEmpty())
            lines << text;
    }
    return lines + m_otherSummary;
}

QPoint BalanceViewController::providerButtonBottomLeft() const
{
    return m_view ? m_view->providerButtonBottomLeft() : QPoint();
}

// Nothing of the account shown before stays under the new one's name: until its own state
// comes, it is loading.
bool BalanceViewController::applyAccount(const Account &account)
{
    const bool other = account.id != m_account.id;
    m_account = account;
    bool any = setText(Label::Title, account.titleText());
    if (other) {
        any = setText(Label::Amount, Format::missingAmount(account.currency())) || any;
        any = setText(Label::Detail, orBlank({})) || any;
        any = setStatus(QStringLiteral("Lade \u2026"), ColorRole::Secondary) || any;
        any = setText(Label::Time, StateText::texts(RefreshState::of(account)).time) || any;
        any = setHistory({}, {}, {}) || any;
    }
    return any;
}

bool BalanceViewController::setText(Label which, const QString &text)
{
    if (m_texts[which] == text)
        return false;
    m_texts[which] = text;
    if (m_view)
        m_view->setText(which, text);
    return true;
}

bool BalanceViewController::setStatus(const QString &text, ColorRole role)
{
    const bool roleChanged = m_statusRole != role;
    m_statusRole = role;
    if (m_view)
        m_view->setStatusRole(role);
    return setText(Label::Status, text) || roleChanged;
}

bool BalanceViewController::setHistory(const QList<BalanceSample> &samples, const QDateTime &now,
                                       const QString &forecast, double lowMark)
{
    m_samples = samples;
    m_samplesNow = now;
    m_lowMark = lowMark;
    if (m_view)
        m_view->setHistory(samples, now, lowMark);
    return setText(Label::Forecast, forecast);
}

} // namespace creditgauge
