#include "UpdateController.h"

#include "Appcast.h"
#include "core/BoundedBody.h"
#include "core/Log.h"
#include "providers/HttpReply.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>

#include <chrono>
#include <utility>

namespace creditgauge {
namespace {

constexpr std::chrono::seconds feedTimeout {20};
// A feed is a few kilobytes; anything near this is not one.
constexpr qint64 maxFeedBytes = 1024 * 1024;

QString installedVersion()
{
    return QString::fromUtf8(CREDITGAUGE_VERSION);
}

} // namespace

UpdateController::UpdateController(UpdaterBridge *bridge)
    : QObject(bridge)
    , m_bridge(bridge)
    , m_network(new QNetworkAccessManager(this))
    , m_dialog(std::make_unique<QMessageBox>())
{
    m_dialog->setWindowTitle(QStringLiteral("CreditGauge"));
    // Version strings come from the feed; they must not turn into markup or links.
    m_dialog->setTextFormat(Qt::PlainText);
    m_dialog->setWindowModality(Qt::NonModal);
    connect(m_dialog.get(), &QMessageBox::buttonClicked, this, &UpdateController::onButtonClicked);
    // However the dialog of a running check is closed (button, Escape, window manager),
    // the check ends with it.
    connect(m_dialog.get(), &QDialog::finished, this, [this] {
        if (isChecking())
            cancel();
    });
}

UpdateController::~UpdateController()
{
    // Nothing may call back into this half-destroyed object.
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
    m_dialog->disconnect(this);
    m_dialog.reset();
}

void UpdateController::check()
{
    if (isChecking()) {
        present();
        return;
    }
    const QUrl feed = m_bridge->m_feedUrl;
    if (feed.isEmpty()) {
        conclude(Outcome::NotConfigured,
                 QStringLiteral("Updates kommen über die Paketverwaltung des Systems."),
                 QStringLiteral("Diese Version von CreditGauge wird über die Paketverwaltung "
                                "aktualisiert (z. B. apt)."));
        return;
    }
    if (!feed.isValid() || feed.scheme() != u"https" || feed.host().isEmpty()) {
        fail(QStringLiteral("Die Adresse des Update-Feeds ist ungültig (nur HTTPS)."));
        return;
    }
    start(feed);
}

void UpdateController::start(const QUrl &feed)
{
    QNetworkRequest request(feed);
    request.setRawHeader("User-Agent", "CreditGauge/" CREDITGAUGE_VERSION);
    request.setRawHeader("Accept", "application/rss+xml, application/xml;q=0.9, */*;q=0.5");
    // The request carries no credentials, and feeds often sit behind a redirect to a CDN on
    // another host; what must hold is that a redirect never leaves HTTPS.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    if (m_bridge->m_tls)
        request.setSslConfiguration(*m_bridge->m_tls);

    qCDebug(log::update).noquote() << "GET" << feed.toDisplayString();
    m_clock.start();
    m_reply = m_network->get(request);
    m_body = BoundedBody::collect(m_reply, maxFeedBytes, feedTimeout);
    connect(m_reply, &QNetworkReply::finished, this, &UpdateController::onFinished);

    clearButtons();
    m_cancelButton = m_dialog->addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
    m_dialog->setEscapeButton(m_cancelButton);
    show(QMessageBox::NoIcon, QStringLiteral("Suche nach Updates \u2026"), QString());
}

void UpdateController::onFinished()
{
    QNetworkReply *reply = std::exchange(m_reply, nullptr);
    reply->deleteLater();

    const std::shared_ptr<BoundedBody> body = std::exchange(m_body, nullptr);
    const RequestResult result = HttpReply::classify(reply, *body);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    qCDebug(log::update).noquote() << reply->url().host() + QLatin1Char(':') << "HTTP" << status
                                   << reply->errorString() << m_clock.elapsed() << "ms";

    // Two failures of the transfer the user can do something about are named.
    if (reply->error() == QNetworkReply::SslHandshakeFailedError) {
        fail(QStringLiteral("Sichere Verbindung fehlgeschlagen"));
        return;
    }
    if (reply->error() == QNetworkReply::InsecureRedirectError) {
        fail(QStringLiteral("Unsichere Weiterleitung abgelehnt"));
        return;
    }
    if (!result) {
        fail(HttpReply::message(result.error().status));
        return;
    }
    if (body->tooLarge) {
        fail(QStringLiteral("Der Update-Feed ist zu groß."));
        return;
    }

    const std::optional<QList<AppcastItem>> items = Appcast::parseItems(*result);
    if (!items) {
        fail(QStringLiteral("Der Update-Feed ist nicht lesbar."));
        return;
    }
    const std::optional<AppcastItem> newest = Appcast::newestItem(*items);
    if (!newest) {
        fail(QStringLiteral("Der Update-Feed nennt keine Version."));
        return;
    }
    qCDebug(log::update).noquote()
        << items->size() << "items; newest" << Appcast::forDisplay(newest->displayVersion);
    if (Appcast::compareVersions(newest->version, installedVersion()) <= 0) {
        conclude(Outcome::UpToDate, QStringLiteral("CreditGauge ist aktuell."),
                 QStringLiteral("Version %1 ist die neueste Version.").arg(installedVersion()));
        return;
    }

    clearButtons();
    m_downloadPage = newest->link;
    QString detail = QStringLiteral("CreditGauge %1 ist erschienen (installiert: %2).")
                         .arg(Appcast::forDisplay(newest->displayVersion), installedVersion());
    if (m_downloadPage.isEmpty()) {
        detail += u'\n' + QStringLiteral("Der Update-Feed nennt keine sichere Download-Seite.");
        m_dialog->setEscapeButton(
            m_dialog->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
    } else {
        QPushButton *download
            = m_dialog->addButton(QStringLiteral("Download-Seite öffnen"), QMessageBox::AcceptRole);
        m_downloadButton = download;
        m_dialog->setDefaultButton(download);
        m_dialog->setEscapeButton(
            m_dialog->addButton(QStringLiteral("Später"), QMessageBox::RejectRole));
    }
    show(QMessageBox::Information, QStringLiteral("Eine neue Version ist verfügbar."), detail);
    Q_EMIT m_bridge->checkFinished(Outcome::UpdateAvailable, detail);
}

void UpdateController::cancel()
{
    QNetworkReply *reply = std::exchange(m_reply, nullptr);
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    m_body.reset();
    m_dialog->hide();
    Q_EMIT m_bridge->checkFinished(Outcome::Cancelled, QString());
}

// Up to date, no feed, or a failure: a heading, a line, and OK.
void UpdateController::conclude(Outcome outcome, const QString &heading, const QString &detail)
{
    clearButtons();
    m_dialog->setEscapeButton(m_dialog->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
    show(outcome == Outcome::Failed ? QMessageBox::Warning : QMessageBox::Information, heading,
         detail);
    Q_EMIT m_bridge->checkFinished(outcome, detail);
}

void UpdateController::fail(const QString &reason)
{
    conclude(Outcome::Failed, QStringLiteral("Die Suche nach Updates ist fehlgeschlagen."), reason);
}

void UpdateController::onButtonClicked(QAbstractButton *button)
{
    if (button != m_downloadButton || m_downloadPage.scheme() != u"https")
        return;
    const UpdaterBridge::UrlOpener &open = m_bridge->m_openUrl;
    if (open)
        open(m_downloadPage);
    else
        QDesktopServices::openUrl(m_downloadPage);
}

void UpdateController::clearButtons()
{
    const QList<QAbstractButton *> buttons = m_dialog->buttons();
    for (QAbstractButton *button : buttons) {
        m_dialog->removeButton(button);
        // Later: this may run inside that button's own click.
        button->deleteLater();
    }
    m_downloadPage.clear();
}

// Buttons first, text last: the dialog sizes itself to its text when that is set.
void UpdateController::show(QMessageBox::Icon icon, const QString &heading, const QString &detail)
{
    m_dialog->setIcon(icon);
    m_dialog->setText(heading);
    m_dialog->setInformativeText(detail);
    if (auto *label = m_dialog->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    present();
}

void UpdateController::present()
{
    m_dialog->show();
    m_dialog->raise();
    m_dialog->activateWindow();
}

} // namespace creditgauge
