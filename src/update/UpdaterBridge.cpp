#include "UpdaterBridge.h"

#include "UpdateController.h"

#include <QCoreApplication>
#include <QPointer>

#include <utility>

namespace creditgauge {

namespace {

QPointer<UpdaterBridge> &sharedInstance()
{
    static QPointer<UpdaterBridge> instance;
    return instance;
}

// Runs at the start of the application object's destructor, while widgets can still be
// deleted safely; the dialog goes with the bridge.
void destroySharedInstance()
{
    delete sharedInstance().data();
}

} // namespace

UpdaterBridge::UpdaterBridge(QObject *parent)
    : QObject(parent)
    , m_feedUrl(builtInFeedUrl())
{ }

UpdaterBridge::~UpdaterBridge() = default;

UpdaterBridge &UpdaterBridge::shared()
{
    QPointer<UpdaterBridge> &instance = sharedInstance();
    if (!instance) {
        instance = new UpdaterBridge(QCoreApplication::instance());
        qAddPostRoutine(destroySharedInstance);
    }
    return *instance;
}

QUrl UpdaterBridge::builtInFeedUrl()
{
    return QUrl(QString::fromUtf8(CREDITGAUGE_APPCAST_URL), QUrl::StrictMode);
}

void UpdaterBridge::setFeedForTesting(const QUrl &url, const std::optional<QSslConfiguration> &tls)
{
    m_feedUrl = url;
    m_tls = tls;
}

void UpdaterBridge::setUrlOpenerForTesting(UrlOpener opener)
{
    m_openUrl = std::move(opener);
}

bool UpdaterBridge::isChecking() const
{
    return m_controller && m_controller->isChecking();
}

QMessageBox *UpdaterBridge::dialog() const
{
    return m_controller ? m_controller->dialog() : nullptr;
}

void UpdaterBridge::checkForUpdates()
{
    if (!m_controller) {
        m_controller = new UpdateController(this);
        ++m_controllerCreations;
    }
    m_controller->check();
}

} // namespace creditgauge
