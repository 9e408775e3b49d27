#pragma once

#include "core/Account.h"
#include "core/Provider.h"
#include "core/Records.h"

#include <QStringList>

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace creditgauge {

// The account dialog: the provider in the heading, for Moonshot the choice of its region,
// what the key is for and where it is kept, the account's name, for a relay its address, one
// masked field for the key, the low mark (below it the balance shows red), "Speichern" and
// "Abbrechen". It edits an account, or one being added.
class KeyDialog : public QDialog
{
    Q_OBJECT
public:
    // `taken`: the names of the other accounts, which this one may not take. An account being
    // added must have a name: its provider's first account may go without one.
    explicit KeyDialog(const Account &account, const QStringList &taken = {}, bool adding = false,
                       QWidget *parent = nullptr);

    // The key already stored, shown masked; ignored once the user has typed anything, since
    // the secret store may answer only after the dialog is open.
    void offerStoredKey(const QString &key);

    // What was typed, without white space and line breaks at either end.
    QString enteredKey() const;
    // The region chosen; for other providers the one given.
    MoonshotRegion moonshotRegion() const { return m_region; }
    // The relay's address as entered, for the relay; checked before "Speichern" closes.
    QString relayAddress() const;
    // The low mark entered, in German notation ("2,50"); after "Speichern" a positive amount.
    double lowMark() const;
    // The name entered, trimmed.
    QString name() const;
    // The account as the dialog leaves it: its name, options and low mark.
    Account account() const;

    QLineEdit *field() const { return m_field; }
    QLineEdit *lowMarkField() const { return m_lowMark; }
    QLineEdit *addressField() const { return m_address; }
    QLineEdit *nameField() const { return m_name; }
    QPushButton *saveButton() const { return m_save; }
    QPushButton *cancelButton() const { return m_cancel; }

    // Says that the key was not kept: the secret store refused it or is out of reach.
    static void showNotSaved();

    // Asks whether the account is to go, with its key; `remove` runs if so.
    static void confirmRemoval(const Account &account, std::function<void()> remove);

    // Closes with "Speichern" only for a key that can be sent; otherwise says why and stays.
    void accept() override;

private:
    QLineEdit *m_field = nullptr;
    QLineEdit *m_lowMark = nullptr;
    QLineEdit *m_address = nullptr; // for a relay only
    QLineEdit *m_name = nullptr;
    QPushButton *m_save = nullptr;
    QPushButton *m_cancel = nullptr;
    QLabel *m_problem = nullptr;
    bool m_edited = false;
    bool m_adding;
    MoonshotRegion m_region;
    Account m_account;
    QStringList m_taken;
};

} // namespace creditgauge
