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

#include <algorithm>
#include <cmath>

namespace creditgauge {
namespace {

QString heading(Provider provider)
{
    return provider.displayName() + QStringLiteral("-API-Key");
}

QString explanation(const Account &account, MoonshotRegion region)
{
    return account.provider.keyNote(region) + QStringLiteral(" (Schlüsselbund \u201e")
        + QLatin1String(KeyStore::service) + QStringLiteral("\u201c, Konto \u201e")
        + account.keychainAccount() + QStringLiteral("\u201c.)");
}

// A label and its field in one row.
QWidget *row(const QString &label, QWidget *field, QWidget *after, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins({});
    layout->addWidget(new QLabel(label, row));
    field->setParent(row);
    layout->addWidget(field);
    if (after) {
        after->setParent(row);
        layout->addWidget(after);
    }
    layout->addStretch();
    return row;
}

} // namespace

KeyDialog::KeyDialog(const Account &account, const QStringList &taken, bool adding, QWidget *parent)
    : QDialog(parent)
    , m_adding(adding)
    , m_region(account.options.region)
    , m_account(account)
    , m_taken(taken)
{
    const Provider provider = account.provider;
    const MoonshotRegion region = account.options.region;
    setWindowTitle(QStringLiteral("CreditGauge"));
    setWindowModality(Qt::ApplicationModal);

    auto *title = new QLabel(heading(provider), this);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.15);
    title->setFont(titleFont);

    auto *text = new QLabel(explanation(account, region), this);
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
            connect(button, &QRadioButton::toggled, this, [this, text, choice](bool on) {
                if (!on)
                    return;
                m_region = choice;
                text->setText(explanation(m_account, choice));
            });
            row->addWidget(button);
        }
        row->addStretch();
    }

    // A relay's key goes to the relay's own address, and only there.
    if (provider == Provider::relay) {
        m_address = new QLineEdit(account.options.relayAddress, this);
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

    // Where the red begins, in the account's own currency: ¥ 2 is far less than $ 2.
    m_lowMark = new QLineEdit(Format::locale().toString(account.lowMark, 'f', 2));
    m_lowMark->setFixedWidth(90);
    m_lowMark->setAccessibleName(QStringLiteral("Rot unter"));
    QWidget *mark = row(QStringLiteral("Rot unter:"), m_lowMark,
                        new QLabel(Format::symbol(provider.currency(region))), this);

    // Two keys at one provider are told apart by their names.
    m_name = new QLineEdit(account.name);
    m_name->setPlaceholderText(QStringLiteral("z.\u00a0B. Arbeit"));
    m_name->setMaxLength(40);
    m_name->setFixedWidth(200);
    m_name->setAccessibleName(QStringLiteral("Name des Kontos"));
    QWidget *name = row(QStringLiteral("Name:"), m_name, nullptr, this);

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
    layout->addWidget(name);
    if (m_address)
        layout->addWidget(m_address);
    layout->addWidget(m_field);
    layout->addWidget(mark);
    layout->addWidget(m_problem);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // A relay without its address starts there: the key is of no use without it; an account
    // being added with its name.
    (adding ? m_name : m_address && m_address->text().isEmpty() ? m_address : m_field)->setFocus();
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
    const QString problem = m_adding && name().isEmpty()
        ? QStringLiteral("Bitte einen Namen für das Konto eingeben.")
        : std::ranges::any_of(m_taken,
                              [this](const QString &other) {
                                  return other.compare(name(), Qt::CaseInsensitive) == 0;
                              })
        ? QStringLiteral("Ein Konto namens \u201e%1\u201c gibt es schon.").arg(name())
        : QString();
    if (!problem.isEmpty()) {
        m_problem->setText(problem);
        m_problem->show();
        m_name->setFocus();
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

QString KeyDialog::name() const
{
    return m_name->text().simplified();
}

Account KeyDialog::account() const
{
    Account account = m_account;
    account.name = name();
    account.lowMark = lowMark();
    account.options.region = m_region;
    if (m_address)
        account.options.relayAddress = relayAddress();
    return account;
}

void KeyDialog::confirmRemoval(const Account &account, std::function<void()> remove)
{
    auto *box
        = new QMessageBox(QMessageBox::Question, QStringLiteral("CreditGauge"),
                          QStringLiteral("Konto \u201e%1\u201c entfernen?").arg(account.label()));
    box->setInformativeText(QStringLiteral("Sein API-Key wird aus dem Schlüsselbund gelöscht; "
                                           "sein Verlauf bleibt erhalten."));
    QPushButton *yes = box->addButton(QStringLiteral("Entfernen"), QMessageBox::DestructiveRole);
    yes->setObjectName(QStringLiteral("remove"));
    // Enter must not delete a key.
    box->setDefaultButton(box->addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("confirmRemoval"));
    connect(box, &QMessageBox::buttonClicked, box, [yes, remove = std::move(remove)](auto *button) {
        if (button == yes)
            remove();
    });
    box->open();
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
