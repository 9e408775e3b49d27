#include "BalanceViewController.h"

#include "BalanceChart.h"
#include "refresh/StateText.h"
#include "store/Settings.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

#include <algorithm>

namespace creditgauge {

namespace {

const QString blank = QStringLiteral(" ");

QLabel *makeLabel(const QString &text, bool wraps)
{
    auto *label = new QLabel(text);
    // Error messages come from outside; never let them be read as rich text.
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    label->setWordWrap(wraps);
    return label;
}

QFont systemFont(qreal pointSize, QFont::Weight weight)
{
    QFont font = QApplication::font();
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    return font;
}

bool hasTabularDigits(const QFont &font)
{
    const QFontMetricsF metrics(font);
    const qreal zero = metrics.horizontalAdvance(QLatin1Char('0'));
    for (char digit = '1'; digit <= '9'; ++digit) {
        if (!qFuzzyCompare(metrics.horizontalAdvance(QLatin1Char(digit)), zero))
            return false;
    }
    return true;
}

QColor mix(const QColor &a, const QColor &b, qreal weightOfA)
{
    const auto channel = [weightOfA](qreal x, qreal y) {
        return x * weightOfA + y * (1 - weightOfA);
    };
    return QColor::fromRgbF(float(channel(a.redF(), b.redF())),
                            float(channel(a.greenF(), b.greenF())),
                            float(channel(a.blueF(), b.blueF())));
}

} // namespace

BalanceViewController::BalanceViewController(QObject *parent)
    : QObject(parent)
    , m_provider(Settings::provider())
{
    m_texts[Title] = m_provider.titleText();
    m_texts[Amount] = QStringLiteral("\u2013");
    m_texts[Detail] = blank;
    m_texts[Status] = blank;
    m_texts[Time] = StateText::notQueried();
    for (int i = 0; i < LabelCount; ++i) {
        m_ownedLabels[i].reset(makeLabel(m_texts[i], i == Status || i == Notice));
        m_labels[i] = m_ownedLabels[i].get();
    }
}

BalanceViewController::~BalanceViewController()
{
    // A view nobody took over is ours alone; one placed in another widget belongs to that
    // widget. Labels still in m_ownedLabels were never handed to a view.
    if (m_view && !m_view->parent())
        delete m_view.data();
}

void BalanceViewController::setProvider(Provider provider)
{
    const bool other = provider != m_provider;
    m_provider = provider;
    bool any = setText(Title, provider.titleText());
    if (other)
        any = clearHistory() || any;
    if (any)
        Q_EMIT changed();
}

void BalanceViewController::showLoading()
{
    if (setStatus(QStringLiteral("Lade \u2026"), ColorRole::Secondary))
        Q_EMIT changed();
}

void BalanceViewController::showBalance(const Balance &balance, const QDateTime &at)
{
    const QString details = StateText::details(balance);
    bool any = setText(Amount, StateText::amount(balance));
    any = setText(Detail, details.isEmpty() ? blank : details) || any;
    any = setText(Time, StateText::queriedAt(at)) || any;
    any = setStatus(StateText::balanceStatus(balance),
                    isLow(balance) ? ColorRole::Red : ColorRole::Secondary)
        || any;
    if (any)
        Q_EMIT changed();
}

void BalanceViewController::showError(const QString &message)
{
    bool any = setText(Amount, StateText::missingAmount());
    any = setText(Detail, blank) || any;
    any = setStatus(message, ColorRole::Red) || any;
    any = clearHistory() || any;
    any = setText(Time, StateText::failedAt(QDateTime::currentDateTime())) || any;
    if (any)
        Q_EMIT changed();
}

void BalanceViewController::showNoKey()
{
    bool any = setText(Amount, StateText::missingAmount());
    any = setText(Detail, blank) || any;
    any = setStatus(StateText::noKeyStatus(m_provider), ColorRole::Orange) || any;
    any = setText(Time, StateText::notQueried()) || any;
    any = clearHistory() || any;
    if (any)
        Q_EMIT changed();
}

void BalanceViewController::showStoreUnavailable(const QString &message)
{
    bool any = setText(Amount, StateText::missingAmount());
    any = setText(Detail, blank) || any;
    any = setStatus(message, ColorRole::Orange) || any;
    any = setText(Time, StateText::notQueried()) || any;
    any = clearHistory() || any;
    if (any)
        Q_EMIT changed();
}

void BalanceViewController::showHistory(const QList<BalanceSample> &samples,
                                        const QString &forecastLine, const QDateTime &now)
{
    m_samples = samples;
    m_samplesNow = now;
    applyHistory();
    if (setText(Forecast, forecastLine.trimmed().isEmpty() ? QString() : forecastLine))
        Q_EMIT changed();
}

QWidget *BalanceViewController::view()
{
    if (!m_view)
        loadView();
    return m_view;
}

QString BalanceViewController::titleText() const
{
    return m_texts[Title];
}

QString BalanceViewController::amountText() const
{
    return m_texts[Amount];
}

QString BalanceViewController::detailText() const
{
    return m_texts[Detail];
}

QString BalanceViewController::statusText() const
{
    return m_texts[Status];
}

QString BalanceViewController::timeText() const
{
    return m_texts[Time];
}

QString BalanceViewController::forecastText() const
{
    return m_texts[Forecast];
}

QString BalanceViewController::noticeText() const
{
    return m_texts[Notice];
}

void BalanceViewController::showNotices(const QStringList &notices)
{
    if (!setText(Notice, notices.join(QLatin1Char('\n'))))
        return;
    fitNotice();
    Q_EMIT changed();
}

QStringList BalanceViewController::summaryLines() const
{
    QStringList lines;
    for (const QString &text : m_texts) {
        if (!text.trimmed().isEmpty())
            lines << text;
    }
    return lines;
}

QPoint BalanceViewController::providerButtonBottomLeft() const
{
    const QPushButton *button = m_buttons.value(1);
    return button ? button->mapToGlobal(button->rect().bottomLeft()) : QPoint();
}

QColor BalanceViewController::color(ColorRole role, const QPalette &palette)
{
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    const bool light = window.lightnessF() >= 0.5;
    switch (role) {
    case ColorRole::Label:
        return text;
    case ColorRole::Secondary:
        return mix(text, window, 0.72);
    case ColorRole::Tertiary:
        // Half-way would drop below 4.5:1 on Qt's light grey window.
        return mix(text, window, 0.6);
    case ColorRole::Red:
        return light ? QColor(0xc0, 0x1c, 0x28) : QColor(0xff, 0x7b, 0x72);
    case ColorRole::Orange:
        // #b35900 reaches only about 4.2:1 on a light grey window, so a shade darker.
        return light ? QColor(0xa0, 0x4f, 0x00) : QColor(0xff, 0xa6, 0x57);
    }
    Q_UNREACHABLE();
    return text;
}

void BalanceViewController::refreshTapped()
{
    // A copy, so that a callback which replaces itself or deletes the panel stays valid.
    if (const auto callback = onRefresh)
        callback();
}

void BalanceViewController::providerTapped()
{
    if (const auto callback = onSwitchProvider)
        callback();
}

void BalanceViewController::keyTapped()
{
    if (const auto callback = onChangeKey)
        callback();
}

bool BalanceViewController::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_view) {
        switch (event->type()) {
        case QEvent::StyleChange:
            equalizeButtons();
            applyColors();
            fitNotice();
            break;
        case QEvent::PaletteChange:
        case QEvent::ApplicationPaletteChange:
            applyColors();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void BalanceViewController::loadView()
{
    // Labels die with a view someone else deleted; a new view gets new ones with the same texts.
    for (int i = 0; i < LabelCount; ++i) {
        if (!m_labels[i]) {
            m_ownedLabels[i].reset(makeLabel(m_texts[i], i == Status || i == Notice));
            m_labels[i] = m_ownedLabels[i].get();
        }
    }

    auto *view = new QWidget;
    view->resize(268, 172);

    label(Title)->setFont(systemFont(11, QFont::DemiBold));
    QFont amountFont = systemFont(26, QFont::DemiBold);
    // Common sans fonts (DejaVu, Noto, Cantarell) already have equal-width digits; the fixed
    // font is only for a system font without them, so the amount does not jitter on refresh.
    if (!hasTabularDigits(amountFont)) {
        amountFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        amountFont.setPointSizeF(26);
        amountFont.setWeight(QFont::DemiBold);
    }
    label(Amount)->setFont(amountFont);
    label(Detail)->setFont(systemFont(11, QFont::Normal));
    const QFont statusFont = systemFont(11, QFont::Medium);
    label(Status)->setFont(statusFont);
    label(Status)->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label(Status)->setMaximumHeight(2 * QFontMetrics(statusFont).lineSpacing());
    // A long message wraps within the width the other rows give; it must not widen the panel.
    label(Status)->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    label(Time)->setFont(systemFont(10, QFont::Normal));
    label(Forecast)->setFont(systemFont(10, QFont::Normal));

    auto *layout = new QVBoxLayout(view);
    layout->setContentsMargins(16, 14, 16, 14);
    layout->setSpacing(6);
    layout->addWidget(label(Title), 0, Qt::AlignLeft);
    layout->addWidget(label(Amount), 0, Qt::AlignLeft);
    layout->addWidget(label(Detail), 0, Qt::AlignLeft);
    auto *separator = new QFrame;
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    layout->addWidget(separator);
    layout->addWidget(label(Status));
    layout->addWidget(label(Time), 0, Qt::AlignLeft);
    auto *chart = new BalanceChart;
    layout->addWidget(chart);
    layout->addWidget(label(Forecast), 0, Qt::AlignLeft);
    // Under the status, though last among the labels, as in the summary.
    label(Notice)->setFont(statusFont);
    label(Notice)->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->insertWidget(layout->indexOf(label(Status)) + 1, label(Notice));
    label(Notice)->setHidden(m_texts[Notice].isEmpty());
    for (auto &owned : m_ownedLabels)
        (void)owned.release(); // the view owns them now
    // Only now that they have a parent: shown without one, they would become windows.
    m_chart = chart;
    applyHistory();
    label(Forecast)->setHidden(m_texts[Forecast].isEmpty());

    QFont buttonFont = QApplication::font();
    buttonFont.setPointSizeF(std::max(7.0, buttonFont.pointSizeF() - 1));
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    m_buttons.clear();
    const auto addButton = [&](const QString &text, void (BalanceViewController::*slot)()) {
        auto *button = new QPushButton(text);
        button->setAttribute(Qt::WA_MacSmallSize);
        button->setFont(buttonFont);
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(button, &QPushButton::clicked, this, slot);
        buttons->addWidget(button, 1);
        m_buttons << button;
    };
    addButton(QStringLiteral("Aktualisieren"), &BalanceViewController::refreshTapped);
    addButton(QStringLiteral("Anbieter\u2026"), &BalanceViewController::providerTapped);
    addButton(QStringLiteral("Key\u2026"), &BalanceViewController::keyTapped);
    layout->addLayout(buttons);
    // 268 wide at the least, wider when the content needs it. A minimum width set on the view
    // itself would stop the layout from widening it.
    layout->addStrut(BalanceChart::contentWidth);

    m_view = view;
    m_statusRole = ColorRole::Secondary;
    equalizeButtons();
    applyColors();
    fitNotice();
    view->installEventFilter(this);
}

bool BalanceViewController::setText(Label which, const QString &text)
{
    if (m_texts[which] == text)
        return false;
    m_texts[which] = text;
    if (QLabel *l = label(which)) {
        l->setText(text);
        if ((which == Forecast || which == Notice) && m_view)
            l->setHidden(text.isEmpty());
    }
    return true;
}

// A label that wraps within a width it does not choose gets no room from the panel's layout
// for its later lines: with a larger font they would be cut off. The notices, sentences of any
// length, get the height they need at the panel's width.
void BalanceViewController::fitNotice()
{
    QLabel *notice = label(Notice);
    if (!notice || !m_view)
        return;
    notice->setMinimumHeight(
        notice->text().isEmpty() ? 0 : notice->heightForWidth(BalanceChart::contentWidth));
}

bool BalanceViewController::clearHistory()
{
    m_samples.clear();
    m_samplesNow = QDateTime();
    applyHistory();
    return setText(Forecast, QString());
}

void BalanceViewController::applyHistory()
{
    if (!m_chart)
        return;
    m_chart->setSamples(m_samples, m_samplesNow);
    m_chart->setHidden(!m_chart->hasData());
}

bool BalanceViewController::setStatus(const QString &text, ColorRole role)
{
    const bool roleChanged = m_statusRole != role;
    m_statusRole = role;
    if (roleChanged)
        applyColors();
    return setText(Status, text) || roleChanged;
}

void BalanceViewController::applyColors()
{
    if (!m_view)
        return;
    const QPalette palette = m_view->palette();
    const auto paint = [&palette](QLabel *label, ColorRole role) {
        if (!label)
            return;
        // Only this one role is set, so everything else still follows the view.
        QPalette own;
        own.setColor(QPalette::WindowText, color(role, palette));
        label->setPalette(own);
    };
    paint(label(Title), ColorRole::Secondary);
    paint(label(Amount), ColorRole::Label);
    paint(label(Detail), ColorRole::Secondary);
    paint(label(Status), m_statusRole);
    paint(label(Notice), ColorRole::Orange);
    paint(label(Time), ColorRole::Tertiary);
    paint(label(Forecast), ColorRole::Secondary);
}

void BalanceViewController::equalizeButtons()
{
    // Equal minimums and equal stretch give three buttons of one width across the panel.
    int widest = 0;
    for (const QPointer<QPushButton> &button : std::as_const(m_buttons)) {
        if (button) {
            button->setMinimumWidth(0);
            widest = std::max(widest, button->sizeHint().width());
        }
    }
    for (const QPointer<QPushButton> &button : std::as_const(m_buttons)) {
        if (button)
            button->setMinimumWidth(widest);
    }
}

QLabel *BalanceViewController::label(Label which) const
{
    return m_labels[which].data();
}

} // namespace creditgauge
