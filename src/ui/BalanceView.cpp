#include "BalanceView.h"

#include "BalanceChart.h"
#include "ColorScheme.h"

#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace creditgauge {

namespace {

QLabel *makeLabel(QWidget *parent, bool wraps)
{
    auto *label = new QLabel(parent);
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

BalanceView::BalanceView(QWidget *parent)
    : QWidget(parent)
{
    // Made in the order of Label, so that they are this widget's children in that order.
    for (int i = 0; i < LabelCount; ++i)
        m_labels[i] = makeLabel(this, i == Status || i == Notice);
    resize(268, 172);

    m_labels[Title]->setFont(systemFont(11, QFont::DemiBold));
    QFont amountFont = systemFont(26, QFont::DemiBold);
    // Common sans fonts (DejaVu, Noto, Cantarell) already have equal-width digits; the fixed
    // font is only for a system font without them, so the amount does not jitter on refresh.
    if (!hasTabularDigits(amountFont)) {
        amountFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        amountFont.setPointSizeF(26);
        amountFont.setWeight(QFont::DemiBold);
    }
    m_labels[Amount]->setFont(amountFont);
    m_labels[Detail]->setFont(systemFont(11, QFont::Normal));
    const QFont statusFont = systemFont(11, QFont::Medium);
    for (const Label wrapping : {Status, Notice}) {
        m_labels[wrapping]->setFont(statusFont);
        // A long message wraps within the width the other rows give; it must not widen the
        // panel.
        m_labels[wrapping]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    m_labels[Status]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_labels[Status]->setMaximumHeight(2 * QFontMetrics(statusFont).lineSpacing());
    m_labels[Time]->setFont(systemFont(10, QFont::Normal));
    m_labels[Forecast]->setFont(systemFont(10, QFont::Normal));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 14);
    layout->setSpacing(6);
    for (const Label left : {Title, Amount, Detail})
        layout->addWidget(m_labels[left], 0, Qt::AlignLeft);
    auto *separator = new QFrame;
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    layout->addWidget(separator);
    layout->addWidget(m_labels[Status]);
    layout->addWidget(m_labels[Time], 0, Qt::AlignLeft);
    m_chart = new BalanceChart;
    layout->addWidget(m_chart);
    m_chart->hide();
    layout->addWidget(m_labels[Forecast], 0, Qt::AlignLeft);
    m_others = new QWidget;
    auto *others = new QVBoxLayout(m_others);
    others->setContentsMargins(0, 0, 0, 0);
    others->setSpacing(0);
    auto *othersTop = new QFrame;
    othersTop->setFrameShape(QFrame::HLine);
    othersTop->setFrameShadow(QFrame::Sunken);
    others->addWidget(othersTop);
    layout->addWidget(m_others);
    m_others->hide();
    layout->insertWidget(layout->indexOf(m_labels[Status]) + 1, m_labels[Notice]);
    m_labels[Forecast]->hide();
    m_labels[Notice]->hide();

    QFont buttonFont = QApplication::font();
    buttonFont.setPointSizeF(std::max(7.0, buttonFont.pointSizeF() - 1));
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    const auto addButton = [&](const QString &text, void (BalanceView::*clicked)()) {
        auto *button = new QPushButton(text);
        button->setAttribute(Qt::WA_MacSmallSize);
        button->setFont(buttonFont);
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(button, &QPushButton::clicked, this, clicked);
        buttons->addWidget(button, 1);
        m_buttons << button;
    };
    addButton(QStringLiteral("Aktualisieren"), &BalanceView::refreshClicked);
    addButton(QStringLiteral("Anbieter\u2026"), &BalanceView::providerClicked);
    addButton(QStringLiteral("Key\u2026"), &BalanceView::keyClicked);
    layout->addLayout(buttons);
    // 268 wide at the least, wider when the content needs it. A minimum width set on the view
    // itself would stop the layout from widening it.
    layout->addStrut(BalanceChart::contentWidth);

    equalizeButtons();
    applyColors();
}

void BalanceView::setText(Label which, const QString &text)
{
    m_labels[which]->setText(text);
    if (which == Forecast || which == Notice)
        m_labels[which]->setHidden(text.isEmpty());
    if (which == Notice)
        fitNotice();
}

void BalanceView::setStatusRole(ColorRole role)
{
    if (role == m_statusRole)
        return;
    m_statusRole = role;
    applyColors();
}

void BalanceView::setHistory(const QList<BalanceSample> &samples, const QDateTime &now,
                             double lowMark)
{
    m_chart->setSamples(samples, now, lowMark);
    m_chart->setHidden(!m_chart->hasData());
}

void BalanceView::setOthers(const QList<OtherLine> &lines)
{
    m_otherTexts = lines;
    while (m_otherLines.size() < lines.size())
        m_otherLines << makeOtherLine(int(m_otherLines.size()));
    for (int i = 0; i < m_otherLines.size(); ++i) {
        m_otherLines[i]->setVisible(i < lines.size());
        if (i < lines.size())
            paintOtherLine(i);
    }
    m_others->setHidden(lines.isEmpty());
}

// A flat button, so that it can be clicked, reached with the keyboard and read out as one;
// the name on the left, the amount on the right, the note below.
QPushButton *BalanceView::makeOtherLine(int index)
{
    auto *line = new QPushButton;
    line->setFlat(true);
    line->setAutoDefault(false);
    line->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto *grid = new QGridLayout(line);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(0);
    const auto part = [&](int row, int column, qreal points, Qt::Alignment alignment) {
        QLabel *label = makeLabel(line, false);
        label->setFont(systemFont(points, row == 0 ? QFont::Medium : QFont::Normal));
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        // Inside a button a label takes the button's text colour unless told otherwise.
        label->setForegroundRole(QPalette::WindowText);
        grid->addWidget(label, row, column, 1, row == 0 ? 1 : 2, alignment);
        return label;
    };
    part(0, 0, 11, Qt::AlignLeft);
    part(0, 1, 11, Qt::AlignRight);
    part(1, 0, 9, Qt::AlignLeft);
    line->setMinimumHeight(grid->sizeHint().height());
    connect(line, &QPushButton::clicked, this, [this, index] { Q_EMIT otherClicked(index); });
    m_others->layout()->addWidget(line);
    return line;
}

void BalanceView::paintOtherLine(int index)
{
    const OtherLine &text = m_otherTexts[index];
    QPushButton *line = m_otherLines[index];
    const QList<QLabel *> parts = line->findChildren<QLabel *>(Qt::FindDirectChildrenOnly);
    const QPalette own = palette();
    const ColorRole roles[] {ColorRole::Label, text.alarm ? ColorRole::Red : ColorRole::Label,
                             text.alarm ? ColorRole::Red : ColorRole::Tertiary};
    const QString texts[] {text.name, text.amount, text.note};
    for (int i = 0; i < 3 && i < parts.size(); ++i) {
        parts[i]->setText(texts[i]);
        QPalette colored;
        colored.setColor(QPalette::WindowText, color(roles[i], own));
        parts[i]->setPalette(colored);
    }
    parts.value(2)->setHidden(text.note.isEmpty());
    // Read out as one: "Moonshot: $ 3,20", the note as its description.
    line->setAccessibleName(text.name + QStringLiteral(": ") + text.amount);
    line->setAccessibleDescription(text.note);
    line->setToolTip(QStringLiteral("%1 auswählen").arg(text.name));
}

QPoint BalanceView::providerButtonBottomLeft() const
{
    const QPushButton *button = m_buttons.value(1);
    return button ? button->mapToGlobal(button->rect().bottomLeft()) : QPoint();
}

QColor BalanceView::color(ColorRole role, const QPalette &palette)
{
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    const bool light = !ColorScheme::isDark(palette);
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

bool BalanceView::event(QEvent *event)
{
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
    return QWidget::event(event);
}

void BalanceView::applyColors()
{
    const QPalette own = palette();
    const auto paint = [&own](QLabel *label, ColorRole role) {
        // Only this one role is set, so everything else still follows the view.
        QPalette colored;
        colored.setColor(QPalette::WindowText, color(role, own));
        label->setPalette(colored);
    };
    paint(m_labels[Title], ColorRole::Secondary);
    paint(m_labels[Amount], ColorRole::Label);
    paint(m_labels[Detail], ColorRole::Secondary);
    paint(m_labels[Status], m_statusRole);
    paint(m_labels[Notice], ColorRole::Orange);
    paint(m_labels[Time], ColorRole::Tertiary);
    paint(m_labels[Forecast], ColorRole::Secondary);
    for (int i = 0; i < m_otherTexts.size(); ++i)
        paintOtherLine(i);
}

void BalanceView::equalizeButtons()
{
    // Equal minimums and equal stretch give three buttons of one width across the panel.
    int widest = 0;
    for (QPushButton *button : std::as_const(m_buttons)) {
        button->setMinimumWidth(0);
        widest = std::max(widest, button->sizeHint().width());
    }
    for (QPushButton *button : std::as_const(m_buttons))
        button->setMinimumWidth(widest);
}

// A label that wraps within a width it does not choose gets no room from the panel's layout
// for its later lines: with a larger font they would be cut off. The notices, sentences of any
// length, get the height they need at the panel's width.
void BalanceView::fitNotice()
{
    QLabel *notice = m_labels[Notice];
    notice->setMinimumHeight(
        notice->text().isEmpty() ? 0 : notice->heightForWidth(BalanceChart::contentWidth));
}

} // namespace creditgauge
