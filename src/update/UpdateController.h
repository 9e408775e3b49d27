#pragma once

#include "UpdaterBridge.h"

#include <QElapsedTimer>
#include <QMessageBox>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>

class QAbstractButton;
class QNetworkAccessManager;

namespace creditgauge {

struct BoundedBody;

// Fetches the feed, reads it and shows the outcome in one dialog that never blocks. Made by
// the bridge on the first request and kept for the rest of the process, together with its
// network access and its dialog.
class UpdateController : public QObject
{
    Q_OBJECT
public:
    explicit UpdateController(UpdaterBridge *bridge);
    ~UpdateController() override;

    void check();
    void present();
    bool isChecking() const { return m_reply != nullptr; }
    QMessageBox *dialog() const { return m_dialog.get(); }

private:
    using Outcome = UpdaterBridge::Outcome;

    void start(const QUrl &feed);
    void onFinished();
    void cancel();
    void conclude(Outcome outcome, const QString &heading, const QString &detail);
    void fail(const QString &reason);
    void onButtonClicked(QAbstractButton *button);
    void clearButtons();
    void show(QMessageBox::Icon icon, const QString &heading, const QString &detail);

    UpdaterBridge *m_bridge;
    QNetworkAccessManager *m_network;
    std::unique_ptr<QMessageBox> m_dialog;
    QPointer<QNetworkReply> m_reply;
    std::shared_ptr<BoundedBody> m_body;
    QElapsedTimer m_clock;
    QPointer<QAbstractButton> m_cancelButton;
    QPointer<QAbstractButton> m_downloadButton;
    QUrl m_downloadPage;
};

} // namespace creditgauge
