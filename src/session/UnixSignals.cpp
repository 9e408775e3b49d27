#include "UnixSignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace creditgauge {

#ifdef Q_OS_UNIX
namespace {

// Read end and write end; the handler may run at any moment, so it sees only this plain array.
int pipeEnds[2] = {-1, -1};

extern "C" void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds enough wake-ups; losing this one loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

UnixSignals::UnixSignals(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
    , m_signals(signalNumbers)
{
    Q_ASSERT(pipeEnds[0] < 0);
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipeEnds[0] = pipeEnds[1] = -1;
        return;
    }
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Restarted system calls, so that no read or write elsewhere sees EINTR for our sake.
    action.sa_flags = SA_RESTART;
    sigset_t caught;
    sigemptyset(&caught);
    for (const int number : m_signals) {
        ::sigaction(number, &action, nullptr);
        sigaddset(&caught, number);
    }
    m_notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignals::drain);
    // main() holds these signals back until now; any that came meanwhile arrive here, and the
    // event loop reads them from the pipe. Threads started before keep them blocked, so that
    // they all come to this one.
    pthread_sigmask(SIG_UNBLOCK, &caught, nullptr);
}

UnixSignals::~UnixSignals()
{
    if (!m_notifier)
        return;
    for (const int number : m_signals)
        ::signal(number, SIG_DFL);
    delete m_notifier;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void UnixSignals::drain()
{
    unsigned char bytes[64];
    ssize_t count = 0;
    while ((count = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            Q_EMIT received(bytes[i]);
    }
}

#else

UnixSignals::UnixSignals(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
    , m_signals(signalNumbers)
{ }

UnixSignals::~UnixSignals() = default;

void UnixSignals::drain() { }

#endif

} // namespace creditgauge
