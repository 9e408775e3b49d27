#pragma once

#include "RefreshCycle.h"
#include "RefreshState.h"
#include "core/Provider.h"

#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <optional>

namespace creditgauge {

// One key and its queries: how many are under way, whether one more is wanted after them,
// which query's result is shown and what was last reported. While a query is under way, or
// began less than a second ago, further requests (a burst of clicks or signals) make one more
// query after it, once the burst is over: a burst costs two queries however long it lasts and
// however fast the server answers, an endless stream one in ten seconds.
class AccountWatch
{
public:
    using Trigger = RefreshCycle::Trigger;

    // `begin` starts a query (the cycle numbers it and reads the key); it is called for the
    // follow-up, and decides whether that is still wanted.
    AccountWatch(const Account &account, std::function<void(Trigger)> begin);

    // A query is wanted: true when it becomes the follow-up of the one under way (or of one
    // that began a moment ago), false when it may begin now.
    bool folds(Trigger trigger);
    void began();
    void ended();
    bool querying() const { return m_queries > 0; }

    quint64 shownQuery = 0; // the number of the query whose result is shown
    RefreshState latest; // what was last reported

private:
    void followUp();

    QString m_id;
    std::function<void(Trigger)> m_begin;
    int m_queries = 0;
    std::optional<Trigger> m_again;
    bool m_spacing = false; // the follow-up waits for its turn
    QElapsedTimer m_since; // since the newest query began
    QElapsedTimer m_asked; // since the newest request that waits for the follow-up
    QTimer m_followUp;
};

} // namespace creditgauge
