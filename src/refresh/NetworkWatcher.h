#pragma once

#include <QObject>

namespace creditgauge {

// Whether the internet is reachable, as far as the system can tell: NetworkManager where it
// runs, otherwise any backend of Qt's network information that knows reachability. Without
// one the status stays Unknown.
class NetworkWatcher : public QObject
{
    Q_OBJECT
public:
    enum class Status { Unknown, Offline, Online };
    Q_ENUM(Status)

    explicit NetworkWatcher(QObject *parent = nullptr);

    Status status() const { return m_status; }

Q_SIGNALS:
    void statusChanged(creditgauge::NetworkWatcher::Status status);

private:
    void update();

    Status m_status = Status::Unknown;
};

} // namespace creditgauge
