#include "AccountWatch.h"

#include "core/Log.h"

#include <algorithm>
#include <utility>

namespace creditgauge {
namespace {

// A query ends within about 40 s (two requests of at most 20 s each, or a key read that gives
// up after its deadline); one that seems to take longer is not waited for.
constexpr qint64 staleAfterMs = 120'000;
// The follow-up to a query begins no sooner than this after it, once no request for it has
// come for a moment, and at the latest this long after it.
constexpr qint64 followUpSpacingMs = 1000;
constexpr qint64 followUpQuietMs = 300;
constexpr qint64 followUpLatestMs = 10'000;

} // namespace

AccountWatch::AccountWatch(const Account &account, std::function<void(Trigger)> begin)
    : latest(RefreshState::of(account))
    , m_id(account.id)
    , m_begin(std::move(begin))
{
    m_followUp.setSingleShot(true);
    QObject::connect(&m_followUp, &QTimer::timeout, [this] { followUp(); });
}

bool AccountWatch::folds(Trigger trigger)
{
    // A query that began a moment ago counts as under way even when its answer came at once:
    // otherwise a fast server would turn every trigger of a burst into a query of its own.
    const bool justAsked = m_since.isValid() && m_since.elapsed() < followUpSpacingMs;
    if (m_queries == 0 && !m_spacing && !justAsked)
        return false;
    if (!m_spacing && m_since.elapsed() >= staleAfterMs) {
        qCWarning(log::refresh).noquote()
            << "a query for" << m_id << "has not ended for" << m_since.elapsed() / 1000
            << "s; not waiting for it any longer";
        m_queries = 0;
        return false;
    }
    // A user's wish outweighs a timer's: the follow-up then shows it is loading.
    if (!m_again || trigger == Trigger::User)
        m_again = trigger;
    m_asked.start();
    if (m_queries == 0 && !m_spacing) {
        m_spacing = true;
        followUp();
    }
    return true;
}

void AccountWatch::began()
{
    ++m_queries;
    m_since.start();
}

void AccountWatch::ended()
{
    m_queries = std::max(0, m_queries - 1);
    if (m_queries > 0 || !m_again || m_spacing)
        return;
    m_spacing = true;
    followUp();
}

// The follow-up goes once the requests for it have stopped for a moment, and no sooner than a
// second after the query before, so that a burst of any length costs one more query; a stream
// that never stops gets one every ten seconds.
void AccountWatch::followUp()
{
    const qint64 wait = std::min(
        std::max(followUpSpacingMs - m_since.elapsed(), followUpQuietMs - m_asked.elapsed()),
        followUpLatestMs - m_since.elapsed());
    if (wait > 0) {
        m_followUp.start(int(wait));
        return;
    }
    m_spacing = false;
    if (const std::optional<Trigger> again = std::exchange(m_again, std::nullopt))
        m_begin(*again);
}

} // namespace creditgauge
