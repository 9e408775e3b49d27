#pragma once

#include "core/Identity.h"

#include <QLockFile>
#include <QObject>

namespace creditgauge {

// One instance per user session. The first start holds a lock in the runtime folder and,
// once it can take requests, a well-known name on the session bus; a later start asks that
// instance to show its details and leaves.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    static constexpr auto busName = applicationId;
    static constexpr auto objectPath = "/io/github/creditgauge/CreditGauge";

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the session's instance; false when another one runs.
    bool claim();
    // Takes requests from later starts from now on. False without a session bus.
    bool listen();
    // From a later start: asks the running instance to show its details. False when it did
    // not answer (no session bus, or it is still waiting for its tray).
    static bool askToShowDetails();

public Q_SLOTS:
    // The bus method.
    void ShowDetails();

Q_SIGNALS:
    void showDetailsRequested();

private:
    QLockFile m_lock;
    bool m_listening = false;
};

} // namespace creditgauge
