#include "NetworkWatcher.h"

#include <QNetworkInformation>

namespace creditgauge {
namespace {

QNetworkInformation *information()
{
    if (QNetworkInformation *loaded = QNetworkInformation::instance())
        return loaded;
    // NetworkManager's backend asks the daemon directly; the others (glib's, on Linux) fall
    // back to the kernel's routes where it is not running.
    if (QNetworkInformation::loadBackendByName(QStringLiteral("networkmanager"))
        || QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return QNetworkInformation::instance();
    return nullptr;
}

} // namespace

NetworkWatcher::NetworkWatcher(QObject *parent)
    : QObject(parent)
{
    QNetworkInformation *info = information();
    if (!info || !info->supports(QNetworkInformation::Feature::Reachability))
        return;
    connect(info, &QNetworkInformation::reachabilityChanged, this, &NetworkWatcher::update);
    update();
}

void NetworkWatcher::update()
{
    Status status = Status::Unknown;
    switch (QNetworkInformation::instance()->reachability()) {
    case QNetworkInformation::Reachability::Online:
        status = Status::Online;
        break;
    // A local network or an intranet alone does not reach a provider.
    case QNetworkInformation::Reachability::Disconnected:
    case QNetworkInformation::Reachability::Local:
    case QNetworkInformation::Reachability::Site:
        status = Status::Offline;
        break;
    case QNetworkInformation::Reachability::Unknown:
        break;
    }
    if (status == m_status)
        return;
    m_status = status;
    Q_EMIT statusChanged(status);
}

} // namespace creditgauge
