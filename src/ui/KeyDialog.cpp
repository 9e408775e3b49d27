#include "KeyDialog.h"

#include "BalanceView.h"
#include "core/ApiKey.h"
#include "core/Format.h"
#include "providers/Relay.h"
#include "store/KeyStore.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cmath>

namespace creditgauge {
namespace {

QString heading(Provider provider)
{
    return provider.displayName() + QStringLiteral("-API-Key");
}

QString explanation(Provider provider, MoonshotRegion region)
{
    return provider.keyNote(region) + QStringLiteral(" (Schlüsselbund \u201e")
        + QLatin1String(KeyStore::service) + QStringLiteral("\u201c, Konto \u201e")
        + provider.keychainAccount() + QStringLiteral("\u201c.)");
}

} // namespace

KeyDialog::KeyDialog(Provider provider, MoonshotRegion region, double lowMark,
                     const QString &relayAddress, QWidget *parent)
    : QDialog(parent)
    , m_region(region)
{
    setWindowTitle(QStringLiteral("CreditGauge"));
    setWindowModality(Qt::ApplicationModal);

    auto *title = new QLabel(heading(provider), this);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.15);
    title->setFont(titleFont);

    auto *text = new QLabel(explanation(provider, region), this);
    text->setWordWrap(true);
    text->setTextFormat(Qt::PlainText);
    text->setMaximumWidth(340);

    // Moonshot's key belongs to one of its two platforms; the note names the one chosen.
    QWidget *regions = nullptr;
    if (provider == Provider::moonshot) {
        regions = new QWidget(this);
        auto *row = new QHBoxLayout(regions);
        row->setContentsMargins({});
        row->addWidget(new QLabel(QStringLiteral("Region:"), regions));
        for (const MoonshotRegion choice : allMoonshotRegions) {
            auto *button = new QRadioButton(displayName(choice), regions);
            button->setChecked(choice == region);
            connect(button, &QRadioButton::toggled, this, [this, text, provider, choice](bool on) {
                if (!on)
                    return;
                m_region = choice;
                text->setText(explanation(provider, choice));
            });
            row->addWidget(button);
        }
        row->addStretch();
    }

    // A relay's key goes to the relay's own address, and only there.
    if (provider == Provider::relay) {
        m_address = new QLineEdit(relayAddress, this);
        m_address->setPlaceholderText(QStringLiteral("https://relay.example/v1"));
        m_address->setAccessibleName(QStringLiteral("Adresse des Relays"));
        m_address->setFixedWidth(340);
    }

    m_field = new QLineEdit(this);
    m_field->setEchoMode(QLineEdit::Password);
    m_field->setPlaceholderText(provider.keyPlaceholder());
    m_field->setFixedWidth(340);
    m_field->setMinimumHeight(24);
    m_field->setAccessibleName(heading(provider));
    connect(m_field, &QLineEdit::textEdited, this, [this] { m_edited = true; });

    // Where the red begins, in the provider's own currency: ¥ 2 is far less than $ 2.
    auto *mark = new QWidget(this);
    auto *markRow = new QHBoxLayout(mark);
    markRow->setContentsMargins({});
    markRow->addWidget(new QLabel(QStringLiteral("Rot unter:"), mark));
    m_lowMark = new QLineEdit(Format::locale().toString(lowMark, 'f', 2), mark);
    m_lowMark->setFixedWidth(90);
    m_lowMark->setAccessibleName(QStringLiteral("Rot unter"));
    markRow->addWidget(m_lowMark);
    markRow->addWidget(new QLabel(Format::symbol(provider.currency(region)), mark));
    markRow->addStretch();

    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setWordWrap(true);
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->setMaximumWidth(340);
    QPalette warning = m_problem->palette();
    warning.setColor(QPalette::WindowText,
                     BalanceView::color(BalanceView::ColorRole::Red, warning));
    m_problem->setPalette(warning);
    m_problem->hide();

    auto *buttons = new QDialogButtonBox(this);
    m_save = buttons->addButton(QStringLiteral("Speichern"), QDialogButtonBox::AcceptRole);
    m_cancel = buttons->addButton(QStringLiteral("Abbrechen"), QDialogButtonBox::RejectRole);
    m_save->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    if (regions)
        layout->addWidget(regions);
    layout->addWidget(text);
    layout->addSpacing(4);
    if (m_address)
        layout->addWidget(m_address);
    layout->addWidget(m_field);
    layout->addWidget(mark);
    layout->addWidget(m_problem);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // A relay without its address starts there: the key is of no use without it.
    (m_address && m_address->text().isEmpty() ? m_address : m_field)->setFocus();
}

void KeyDialog::offerStoredKey(const QString &key)
{
    if (!m_edited && m_field->text().isEmpty())
        m_field->setText(key);
}

void KeyDialog::accept()
{
    // A pasted key sometimes brings a line break or a tab along inside it; stored, it would
    // make every query fail.
    if (!ApiKey::isAcceptable(enteredKey())) {
        m_problem->setText(QStringLiteral(
            "Der Key enthält Steuerzeichen oder Zeilenumbrüche und wird so nicht gespeichert."));
        m_problem->show();
        m_field->setFocus();
        return;
    }
    if (const auto base = Relay::baseAddress(relayAddress()); m_address && !base) {
        m_problem->setText(base.error() + u'.');
        m_problem->show();
        m_address->setFocus();
        return;
    }
    if (!(lowMark() > 0)) {
        m_problem->setText(QStringLiteral("Rot unter: bitte einen Betrag über 0 eingeben, "
                                          "etwa 2,00."));
        m_problem->show();
        m_lowMark->setFocus();
        return;
    }
    QDialog::accept();
}

QString KeyDialog::relayAddress() const
{
    return m_address ? m_address->text().trimmed() : QString();
}

double KeyDialog::lowMark() const
{
    bool ok = false;
    const double mark = Format::locale().toDouble(m_lowMark->text().trimmed(), &ok);
    return ok && std::isfinite(mark) ? mark : 0.0;
}

void KeyDialog::showNotSaved()
{
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("CreditGauge"),
                                QStringLiteral("Der API-Key wurde nicht gespeichert."));
    box->setInformativeText(
        QStringLiteral("Der Schlüsselbund hat das Speichern abgelehnt oder ist nicht erreichbar. "
                       "Ein bisher gespeicherter Key bleibt unverändert."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("keyNotSaved"));
    box->open();
}

QString KeyDialog::enteredKey() const
{
    return m_field->text().trimmed();
}

} // namespace creditgauge
