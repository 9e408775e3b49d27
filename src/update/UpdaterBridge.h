#pragma once

#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QMessageBox;

namespace creditgauge {

class UpdateController;

// "Nach Updates suchen …": reads the update feed and says in a dialog whether a newer version
// is out. The dialogs never block, so the tray stays responsive while a check runs.
class UpdaterBridge : public QObject
{
    Q_OBJECT
public:
    enum class Outcome { UpToDate, UpdateAvailable, Failed, NotConfigured, Cancelled };
    Q_ENUM(Outcome)

    using UrlOpener = std::function<bool(const QUrl &)>;

    // The one instance, created on first use; it goes away with the application object.
    static UpdaterBridge &shared();
    ~UpdaterBridge() override;

    // The feed the build names (CREDITGAUGE_APPCAST_URL); empty when updates come through the
    // package manager.
    static QUrl builtInFeedUrl();

    // Tests point the check at a feed of their own (an empty URL: none configured) and may
    // trust a CA of their own for these requests only; verification stays on.
    void setFeedForTesting(const QUrl &url, const std::optional<QSslConfiguration> &tls);
    // Tests catch the download page here instead of starting a browser; an empty function
    // restores QDesktopServices::openUrl.
    void setUrlOpenerForTesting(UrlOpener opener);

    // The object that does the checking is made on the first request and kept.
    int controllerCreationCount() const { return m_controllerCreations; }
    bool isChecking() const;
    // The dialog of the current or last check; null before the first.
    QMessageBox *dialog() const;

public Q_SLOTS:
    // Starts a check and shows its dialog; while one runs, shows that one again instead.
    void checkForUpdates();

Q_SIGNALS:
    // Once per check, when its result is shown (or it was cancelled). `detail` is the line
    // under the heading.
    void checkFinished(creditgauge::UpdaterBridge::Outcome outcome, const QString &detail);

private:
    explicit UpdaterBridge(QObject *parent);
    friend class UpdateController;

    QUrl m_feedUrl;
    std::optional<QSslConfiguration> m_tls;
    UrlOpener m_openUrl;
    UpdateController *m_controller = nullptr;
    int m_controllerCreations = 0;
};

} // namespace creditgauge
