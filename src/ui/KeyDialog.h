#pragma once

#include "core/Provider.h"
#include "core/Records.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace creditgauge {

// Asks for the API key of one provider: a heading, for Moonshot the choice of its region, what
// the key is for and where it is kept, one masked field, the low mark (below it the balance
// shows red), "Speichern" and "Abbrechen".
class KeyDialog : public QDialog
{
    Q_OBJECT
public:
    explicit KeyDialog(Provider provider, MoonshotRegion region = MoonshotRegion::international,
                       double lowMark = lowBalanceThreshold, const QString &relayAddress = {},
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

    QLineEdit *field() const { return m_field; }
    QLineEdit *lowMarkField() const { return m_lowMark; }
    QLineEdit *addressField() const { return m_address; }
    QPushButton *saveButton() const { return m_save; }
    QPushButton *cancelButton() const { return m_cancel; }

    // Says that the key was not kept: the secret store refused it or is out of reach.
    static void showNotSaved();

    // Closes with "Speichern" only for a key that can be sent; otherwise says why and stays.
    void accept() override;

private:
    QLineEdit *m_field = nullptr;
    QLineEdit *m_lowMark = nullptr;
    QLineEdit *m_address = nullptr; // for a relay only
    QPushButton *m_save = nullptr;
    QPushButton *m_cancel = nullptr;
    QLabel *m_problem = nullptr;
    bool m_edited = false;
    MoonshotRegion m_region;
};

} // namespace creditgauge
